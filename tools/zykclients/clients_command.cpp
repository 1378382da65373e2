// The "clients" command: a table of the messenger clients and the switch of one hook.
#include "clients_command.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kNotInstalled = 1;
constexpr int kNotSwitched = 2;
constexpr int kUsage = 64;

const char* ClientName(int id) {
    switch (id) {
        case 1: return "AIM";
        case 2: return "MSN Messenger";
        case 3: return "Trillian";
        default: return "?";
    }
}

void PrintHeader(std::FILE* out) {
    std::fprintf(out, "%-3s %-14s %-10s %s\n", "id", "client", "installed", "on");
}

void PrintRow(std::FILE* out, const ZykClientPlugin& plugin, int id, int* installedOut = nullptr,
              int* onOut = nullptr) {
    int installed = 0;
    int on = 0;
    plugin.GetIMPlugin(id, &installed, &on);
    std::fprintf(out, "%-3d %-14s %-10d %d\n", id, ClientName(id), installed, on);
    if (installedOut != nullptr) *installedOut = installed;
    if (onOut != nullptr) *onOut = on;
}

bool ParseId(const char* text, int& id) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 3) return false;
    id = static_cast<int>(value);
    return true;
}

int Usage(std::FILE* err) {
    std::fprintf(err,
                 "usage: clients            show AIM (1), MSN Messenger (2), Trillian (3)\n"
                 "       clients on|off ID  switch that client's virus-checker hook\n");
    return kUsage;
}

}  // namespace

int RunClientsCommand(int argc, char** argv, const ZykClientPlugin& plugin, std::FILE* out,
                      std::FILE* err) {
    if (plugin.GetIMPlugin == nullptr || plugin.SetIMPlugin == nullptr) {
        std::fprintf(err, "clients: the plug-in has no GetIMPlugin/SetIMPlugin\n");
        return 1;
    }
    if (argc < 1 || std::strcmp(argv[0], "clients") != 0) return Usage(err);
    if (argc == 1) {
        PrintHeader(out);
        for (int id = 1; id <= 3; ++id) PrintRow(out, plugin, id);
        return 0;
    }
    int id = 0;
    const bool on = argc == 3 && std::strcmp(argv[1], "on") == 0;
    const bool off = argc == 3 && std::strcmp(argv[1], "off") == 0;
    if (!(on || off) || !ParseId(argv[2], id)) return Usage(err);

    int installed = 0;
    int current = 0;
    plugin.GetIMPlugin(id, &installed, &current);
    if (installed == 0) {
        std::fprintf(err, "clients: %s is not installed in a version that can be configured\n",
                     ClientName(id));
        return kNotInstalled;
    }
    plugin.SetIMPlugin(id, on ? 1 : 0);
    PrintHeader(out);
    int now = 0;
    PrintRow(out, plugin, id, nullptr, &now);
    // The plug-in reports no failure; what the client now says is the outcome.
    if ((now != 0) != on) {
        std::fprintf(err,
                     "clients: %s still reports its hook %s: nothing was switched (no user "
                     "or account to configure, settings that can't be written, or no scanner "
                     "path; the plug-in's trace tells which)\n",
                     ClientName(id), now != 0 ? "on" : "off");
        return kNotSwitched;
    }
    return 0;
}
