#include "driver/track_number.h"

namespace {
constexpr std::int64_t Saturated = std::int64_t{1} << 40;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
} // namespace

std::int64_t readTrackNumber(const char* text) {
    const char* p = text;
    while (isSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    std::int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value < Saturated) {
            value = value * 10 + (*p - '0');
        }
    }
    return negative ? -value : value;
}
