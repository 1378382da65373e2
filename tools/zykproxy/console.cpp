// Log lines and the progress bar. Lines clear the bar first and redraw it after, so
// the two never mix on one screen line.
#include "console.h"

#include <cstdio>

namespace zykproxy {

namespace {
constexpr int kBarWidth = 30;
}

Console::Console(bool terminal, Writer writer) : m_terminal(terminal), m_writer(std::move(writer)) {
    if (!m_writer)
        m_writer = [](const std::string& text) {
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
        };
}

std::string Console::BarText(int connection, uint32_t doneKB, uint32_t totalKB) {
    const uint64_t done = doneKB > totalKB ? totalKB : doneKB;
    const int percent = totalKB == 0 ? 100 : static_cast<int>(done * 100 / totalKB);
    const int filled = totalKB == 0 ? kBarWidth : static_cast<int>(done * kBarWidth / totalKB);
    char text[160];
    std::snprintf(text, sizeof text, "conn %d receiving [%s%s] %3d%% %u/%u KiB", connection,
                  std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(kBarWidth - filled), '.').c_str(), percent,
                  static_cast<unsigned>(done), static_cast<unsigned>(totalKB));
    return text;
}

void Console::ClearBarLocked() {
    if (m_bar.empty()) return;
    // Blanks rather than an escape sequence: every console understands them.
    m_writer("\r" + std::string(m_bar.size(), ' ') + "\r");
}

void Console::WriteLineLocked(const std::string& line) {
    ClearBarLocked();
    m_writer(line + "\n");
    if (!m_bar.empty()) m_writer(m_bar);
}

void Console::Log(const std::string& message) {
    std::lock_guard<std::mutex> guard(m_mutex);
    WriteLineLocked("zykproxy: " + message);
}

void Console::Raw(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_mutex);
    WriteLineLocked(line);
}

void Console::Progress(int connection, uint32_t doneKB, uint32_t totalKB) {
    if (!m_terminal) return;
    std::lock_guard<std::mutex> guard(m_mutex);
    const std::string bar = BarText(connection, doneKB, totalKB);
    if (bar == m_bar) return;
    const size_t pad = m_bar.size() > bar.size() ? m_bar.size() - bar.size() : 0;
    m_writer("\r" + bar + std::string(pad, ' '));
    m_bar = bar;
}

void Console::EndProgress() {
    std::lock_guard<std::mutex> guard(m_mutex);
    ClearBarLocked();
    m_bar.clear();
}

}  // namespace zykproxy
