// The "clients" command of a proxy host: shows and switches the messenger clients'
// virus-checker hooks through a loaded plug-in's GetIMPlugin and SetIMPlugin exports.
#pragma once

#include <cstdio>

#include "zykim/zykim.h"

// The two exports of a loaded plug-in that the command uses.
struct ZykClientPlugin {
    void(ZYKIM_CALL* GetIMPlugin)(int id, int* installed, int* on) = nullptr;
    void(ZYKIM_CALL* SetIMPlugin)(int id, int on) = nullptr;
};

// argv[0] is "clients"; then nothing (print ids 1 to 3 with name, installed and on) or
// "on ID" / "off ID" (switch that client's hook, then print its row). Returns the exit
// status: 0 done, 1 the client is not installed (nothing changed), 2 the client's hook
// does not report the state asked for afterwards (nothing was switched), 64 bad usage.
int RunClientsCommand(int argc, char** argv, const ZykClientPlugin& plugin, std::FILE* out = stdout,
                      std::FILE* err = stderr);
