// What zykproxy tells its user on standard error: log lines, and on a terminal a
// progress bar for large files, kept below the lines.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace zykproxy {

class Console {
public:
    using Writer = std::function<void(const std::string& text)>;
    // terminal: draw progress bars (only where stderr is a terminal). writer: where the
    // text goes (default: standard error).
    explicit Console(bool terminal, Writer writer = Writer());

    // One line, with the "zykproxy: " prefix and a line end added.
    void Log(const std::string& message);
    // One line as it is (the plug-in's trace), with a line end added.
    void Raw(const std::string& line);
    // Progress of the file held on a connection; redrawn when the shown value changes.
    void Progress(int connection, uint32_t doneKB, uint32_t totalKB);
    // Removes the bar (the file is complete, or its connection ended).
    void EndProgress();

    // The bar's text, as drawn for these values.
    static std::string BarText(int connection, uint32_t doneKB, uint32_t totalKB);

private:
    void WriteLineLocked(const std::string& line);
    void ClearBarLocked();

    std::mutex m_mutex;
    bool m_terminal;
    Writer m_writer;
    std::string m_bar;  // the bar on screen, empty when none
};

}  // namespace zykproxy
