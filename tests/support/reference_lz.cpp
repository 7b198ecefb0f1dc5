#include "tests/support/reference_lz.h"

#include <algorithm>

namespace {

struct Reader {
    std::span<const std::uint8_t> input;
    std::int64_t storedCount;
    ReferenceLz& state;
    bool wordMissing = false;
};

// The next two input bytes, low byte first, whatever storedCount is.
std::uint32_t takeWord(Reader& r) {
    if (r.state.inPos + 2 > static_cast<std::int64_t>(r.input.size())) {
        r.wordMissing = true;
        return 0;
    }
    const auto at = static_cast<std::size_t>(r.state.inPos);
    r.state.inPos += 2;
    return r.input[at] + 256u * r.input[at + 1];
}

// The next stored byte, or -1 once the stored bytes are used up.
int takeByte(Reader& r) {
    if (r.state.inPos >= r.storedCount) {
        return -1;
    }
    return r.input[static_cast<std::size_t>(r.state.inPos++)];
}

// The next flag bit; the word after is read as soon as the 16th is taken.
int takeBit(Reader& r) {
    const int bit = static_cast<int>(r.state.ctrlWord % 2);
    r.state.ctrlWord /= 2;
    if (--r.state.ctrlBitsLeft == 0) {
        r.state.ctrlWord = takeWord(r);
        r.state.ctrlBitsLeft = 16;
    }
    return bit;
}

} // namespace

ReferenceLz referenceLzExpand(std::span<const std::uint8_t> input, std::int32_t storedCount,
                              std::int32_t outputLimit) {
    ReferenceLz result;
    Reader r{input,
             std::clamp<std::int64_t>(storedCount, 0, static_cast<std::int64_t>(input.size())),
             result};
    result.ctrlWord = takeWord(r);
    std::vector<std::uint8_t>& out = result.output;
    const auto limit = static_cast<std::size_t>(outputLimit);

    // Each flag bit may be the one whose reload finds no word left; the token
    // it belongs to is then not decoded.
    const auto bit = [&r](int& value) {
        value = takeBit(r);
        return !r.wordMissing;
    };
    for (;;) {
        int flag = 0;
        if (!bit(flag)) {
            break;
        }
        if (flag == 1) { // literal
            if (out.size() >= limit) {
                break;
            }
            const int v = takeByte(r);
            out.push_back(v < 0 ? 0xFF : static_cast<std::uint8_t>(v));
            continue;
        }
        int longForm = 0;
        if (!bit(longForm)) {
            break;
        }
        std::int64_t distance = 0; // how far back the copy starts
        std::int64_t count = 0;
        if (longForm == 0) {
            int a = 0;
            int b = 0;
            if (!bit(a) || !bit(b)) {
                break;
            }
            count = 2 * a + b + 3;
            const int d = takeByte(r);
            distance = d < 0 ? 1 : 256 - d;
        } else {
            const int b1 = takeByte(r);
            const int b2 = takeByte(r);
            if (b1 < 0) {
                distance = 1;
            } else {
                // A missing b2 reads as 0xFF: offset field 15.
                const int highField = b2 < 0 ? 15 : b2 / 16;
                distance = 4096 - (highField * 256 + b1);
            }
            const int countField = b2 < 0 ? 15 : b2 % 16;
            count = countField + 3;
            if (countField == 0) {
                const int e = takeByte(r);
                if (e == 0) {
                    return result; // the end marker
                }
                count = e < 0 ? 0 : e + 1;
            }
        }
        for (std::int64_t i = 0; i < count; ++i) {
            if (out.size() >= limit) {
                result.damaged = true;
                return result;
            }
            const std::int64_t source = static_cast<std::int64_t>(out.size()) - distance;
            out.push_back(source < 0 ? 0 : out[static_cast<std::size_t>(source)]);
        }
    }
    result.damaged = true;
    return result;
}
