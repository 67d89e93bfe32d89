#include "support/log_files.h"

#include "diag/log.h"

#include <iconv.h>

#include <fstream>
#include <sstream>

namespace {

std::string FromCp949(const std::string& in) {
    iconv_t cd = iconv_open("UTF-8", "CP949");
    if (cd == reinterpret_cast<iconv_t>(-1)) return in;
    std::string out(in.size() * 3 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1)) {
            *dst++ = *src++;  // a byte that is not CP949 text stays as it is
            --srcLeft;
            --dstLeft;
        }
    }
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}

}  // namespace

std::vector<std::string> LogLines() {
    char date[16] = {};
    FormatDay(date);
    std::ifstream f(std::string("gate_log/brisca") + date + ".log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string text = FromCp949(ss.str());
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) break;
        std::size_t end = nl;
        while (end > start && text[end - 1] == '\r') --end;
        lines.push_back(text.substr(start, end - start));
        start = nl + 1;
    }
    return lines;
}

std::vector<std::string> LogMessages() {
    std::vector<std::string> out;
    const std::string mark = "▷ ";
    for (const std::string& line : LogLines()) {
        const std::size_t at = line.find(mark);
        out.push_back(at == std::string::npos ? line : line.substr(at + mark.size()));
    }
    return out;
}
