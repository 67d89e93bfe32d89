// The single entry of the relay: every burst from the terminal is traced, classified and handed
// to the route that the last connect frame chose; the version query is answered here.
#include "relay/relay.h"

#include "diag/card_mask.h"

#include "diag/log.h"
#include "relay/frame_text.h"
#include "relay/wiped.h"
#include "sys/sys.h"

#include <cstdio>
#include <cstring>

#ifndef BRISCA_FIXED_SERVER_1
#define BRISCA_FIXED_SERVER_1 "127.0.0.2"
#endif
#ifndef BRISCA_FIXED_SERVER_2
#define BRISCA_FIXED_SERVER_2 "127.0.0.3"
#endif

namespace {

constexpr int kFrameBufferSize = 5120;  // a burst (at most 4096 bytes) and at least 1024 zeros
constexpr int kVersionReplySize = 100;
constexpr char kFirstFixedServer[] = BRISCA_FIXED_SERVER_1;
constexpr char kSecondFixedServer[] = BRISCA_FIXED_SERVER_2;

}  // namespace

void Relay::OnTerminalFrame(const unsigned char* bytes, unsigned count) {
    const int n = static_cast<int>(count < kTraceRawSize ? count : kTraceRawSize);
    // The watcher reuses its buffer as soon as this returns: copy first. The copy ends in zeros,
    // so the text searches of the connect frame stop inside it.
    char frame[kFrameBufferSize] = {};
    const Wiped wipeFrame{frame, static_cast<std::size_t>(n)};
    std::memcpy(frame, bytes, static_cast<std::size_t>(n));

    TraceEvent event;
    event.kind = TRACE_FROM_TERMINAL;
    std::memcpy(event.raw, frame, static_cast<std::size_t>(n));
    const Wiped wipeRecord{event.raw, static_cast<std::size_t>(n)};
    SetIcon(ICON_IDLE);

    const FrameKind kind = ClassifyFrame(frame, n);
    // The most common burst, a frame for the open plain connection, goes out before its trace
    // and log lines are written; it changes nothing else.
    const bool sentFirst = m_relayMode == RELAY_PLAIN && !IsConnectKind(kind) &&
                           kind != FRAME_VERSION && kind != FRAME_END && Connected();
    if (!sentFirst) Render(static_cast<unsigned>(n), event);

    if (IsConnectKind(kind)) {
        // A malformed connect frame is dropped here and leaves the relay state as it was.
        if (!StoreServer(frame, n)) return;
        if (std::strcmp(m_host, kSecondFixedServer) == 0)
            m_relayMode = RELAY_PLAIN;
        else if (std::strcmp(m_host, kFirstFixedServer) == 0)
            m_relayMode = RELAY_PLAIN;
        else if (kind == FRAME_CONNECT_PE)
            m_relayMode = RELAY_PLAIN;
        else
            m_relayMode = RELAY_SECURE;
    } else if (kind == FRAME_VERSION) {
        SendVersionReply();
        return;
    }

    if (m_relayMode == RELAY_PLAIN)
        RelayPlain(frame, kind, n, sentFirst ? &event : nullptr);
    else
        RelaySecure(frame, kind, n);
    ScrubStack();  // the frame has been handed on
}

bool Relay::StoreServer(const char* frame, int n) {
    int partLength = 0;
    switch (ParseConnectFrame(frame, n, m_host, m_portText, &partLength)) {
    case CONNECT_FRAME_OK:
        std::memcpy(m_hostShown, m_host, sizeof m_hostShown);
        MaskCardData(m_hostShown, static_cast<int>(std::strlen(m_hostShown)));
        return true;
    case CONNECT_FRAME_NO_COLON:
        LogPrintf(Log(), "TEVN-> ERROR : 접속전문 오류 (콜론 없음)\n");
        PostTrace(TRACE_TEXT, "접속전문 오류!-->콜론 없음");
        return false;
    case CONNECT_FRAME_HOST_TOO_LONG:
        LogPrintf(Log(), "TEVN-> ERROR : 접속전문 오류 (호스트 길이 %d)\n", partLength);
        PostTrace(TRACE_TEXT, "접속전문 오류!-->호스트 길이(%d)", partLength);
        return false;
    default:
        LogPrintf(Log(), "TEVN-> ERROR : 접속전문 오류 (포트 길이 %d)\n", partLength);
        PostTrace(TRACE_TEXT, "접속전문 오류!-->포트 길이(%d)", partLength);
        return false;
    }
}

void Relay::SendVersionReply() {
    char reply[kVersionReplySize] = {};
    int length;
    {
        std::lock_guard<std::mutex> g(m_textLock);
        length = std::snprintf(reply, sizeof reply, "VG01:Tevnmark:%s::%s::E", m_versionText,
                               m_rateText);
    }
    if (length < 0) return;
    if (length > kVersionReplySize - 1) length = kVersionReplySize - 1;
    SendToTerminal(reply, static_cast<unsigned>(length));
}

void Relay::OnPortLost(const char* portName) {
    PostTrace(TRACE_TEXT, "시리얼 포트 끊김!-->%s", portName ? portName : "");
    LogPrintf(Log(), "TEVN-> ERROR : 시리얼 포트 끊김 (%s)\n", portName ? portName : "");
}
