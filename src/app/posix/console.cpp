#include "app/posix/console.h"

#include <cstring>
#include <stdio.h>

void StdoutConsole::Append(const char* line) {
    // Line ends become "\n"; a lone "\r" is kept, as the edit control would keep it.
    // Whole under the stream's lock: the tray icon's lines come from other threads.
    flockfile(m_out);
    const char* p = line;
    while (*p) {
        const char* cr = std::strstr(p, "\r\n");
        if (!cr) {
            std::fputs(p, m_out);
            break;
        }
        std::fwrite(p, 1, static_cast<std::size_t>(cr - p), m_out);
        std::fputc('\n', m_out);
        p = cr + 2;
    }
    std::fflush(m_out);
    funlockfile(m_out);
}

void HeadlessTrayIcon::SetIcon(int iconResource) {
    const int old = m_icon.exchange(iconResource);
    if (m_verboseOut && old != iconResource) {
        std::fprintf(m_verboseOut, "tray icon %d\n", iconResource);
        std::fflush(m_verboseOut);
    }
}
