#include "app/posix/journal_events.h"

#include "app/posix/console.h"
#include "diag/trace_render.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Texts from outside (a device path, a folder) are shown with control bytes escaped, so that one
// event stays one journal line.
std::string Printable(const char* text) {
    const std::string in = text ? text : "";
    std::string out(4 * in.size() + 1, '\0');
    out.resize(EscapeControls(in.data(), in.size(), out.data(), out.size()));
    return out;
}

std::size_t EventsDropped(char* buf, std::size_t size, std::uint64_t count) {
    const int n = std::snprintf(buf, size, "<4>이벤트 출력 지연: %" PRIu64 "줄 생략\n", count);
    return n < 0 ? 0 : (static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1);
}

}  // namespace

JournalEvents::JournalEvents(int fd) : m_queue(MakeFdOutput(fd), 64 * 1024, EventsDropped) {}

void JournalEvents::Line(const char* priority, const char* format, ...) {
    char text[1024];
    int n = std::snprintf(text, sizeof text, "%s", priority);
    va_list args;
    va_start(args, format);
    const int m = std::vsnprintf(text + n, sizeof text - n - 1, format, args);
    va_end(args);
    if (m > 0) n += m < static_cast<int>(sizeof text - n - 1) ? m : static_cast<int>(sizeof text - n - 2);
    text[n++] = '\n';
    m_queue.Push(text, static_cast<std::size_t>(n));
}

void JournalEvents::Plain(const char* text) {
    char line[256];
    const int n = std::snprintf(line, sizeof line, "%s\n", text);
    if (n > 0) m_queue.Push(line, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1);
}

void JournalEvents::Started(const char* version, const char* port, const char* logFolder) {
    Line("<6>", "시작 : 버전 %s, 포트 %s, 로그 폴더 %s", version, Printable(port).c_str(),
         Printable(logFolder).c_str());
}

void JournalEvents::StartFailed(const char* version, const char* port, const char* logFolder) {
    Line("<3>", "시작 실패 : 포트 %s 열 수 없음 (버전 %s, 로그 폴더 %s)", Printable(port).c_str(),
         version, Printable(logFolder).c_str());
}

void JournalEvents::Stopped() { Line("<6>", "종료"); }

void JournalEvents::PortLost(const char* port) {
    Line("<4>", "시리얼 포트 끊김 : %s", Printable(port).c_str());
}

void JournalEvents::PortBack(const char* port) {
    Line("<6>", "시리얼 포트 복구 : %s", Printable(port).c_str());
}

void JournalEvents::ServerUnreachable(const char* host, int port) {
    Line("<4>", "서버 접속오류 : %s:%d", Printable(host).c_str(), port);
}

void JournalEvents::ServerNotReading(const char* host, int port) {
    Line("<4>", "서버 송신 정체 : %s:%d", Printable(host).c_str(), port);
}

void JournalEvents::SettingsProblem(bool error, const char* text) {
    Line(error ? "<3>" : "<4>", "설정 %s : %s", error ? "오류" : "경고", Printable(text).c_str());
}

void JournalEvents::LogRefused(const char* text) {
    Line("<3>", "로그 기록 불가 : %s", Printable(text).c_str());
}
