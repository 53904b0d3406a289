// fuzz_hex.cpp -- libFuzzer target for the hexadecimal text coding of the
// command language (the S and N commands and the board replies).
//
// convert_hex2str reads the input as hexadecimal text into a buffer of
// exactly NAME_LEN + 1 bytes, as parse_message_for hands it; the result must
// end within those bytes. convert_str2hex codes a bounded copy of the input
// into a buffer of exactly 2 * NAME_LEN + 1 bytes, and also the whole input
// (it codes at most NAME_LEN bytes); its output must be lower-case digits of
// twice the coded length and read back to the same text. Every buffer is
// its own heap block of the exact size, so AddressSanitizer sees any byte
// written past it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command.h"
#include "fuzz_common.h"
#include "qmere.h"

namespace {

constexpr size_t TEXT_BUF = NAME_LEN + 1;
constexpr size_t HEX_BUF = 2 * NAME_LEN + 1;

char* block(size_t n) {
    char* p = static_cast<char*>(malloc(n));
    if (!p) abort();
    std::memset(p, 0x5a, n); // no stray NUL to hide a missing terminator
    return p;
}

// Codes text, checks the digits, and reads them back.
void round_trip(const char* text) {
    size_t n = strnlen(text, NAME_LEN);
    char* hex = block(HEX_BUF);
    convert_str2hex(text, hex);
    if (!std::memchr(hex, 0, HEX_BUF)) broken("convert_str2hex output not terminated");
    if (std::strlen(hex) != 2 * n) broken("convert_str2hex output of the wrong length");
    for (size_t i = 0; i < 2 * n; i++) {
        char d = hex[i];
        if (!((d >= '0' && d <= '9') || (d >= 'a' && d <= 'f')))
            broken("convert_str2hex wrote a character that is no hex digit");
    }
    char* back = block(TEXT_BUF);
    convert_hex2str(hex, back);
    if (std::strlen(back) != n || std::memcmp(back, text, n) != 0)
        broken("hex text does not read back to the text it codes");
    free(back);
    free(hex);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* input = block(size + 1);
    std::memcpy(input, data, size);
    input[size] = '\0';

    char* text = block(TEXT_BUF);
    convert_hex2str(input, text);
    if (!std::memchr(text, 0, TEXT_BUF))
        broken("convert_hex2str output not terminated in 129 bytes");

    // the bounded copy: at most NAME_LEN bytes and the NUL
    char* bounded = block(TEXT_BUF);
    size_t n = strnlen(input, NAME_LEN);
    std::memcpy(bounded, input, n);
    bounded[n] = '\0';
    round_trip(bounded);
    // the whole input: only its first NAME_LEN bytes are coded
    round_trip(input);
    // and what the decoder made of it
    round_trip(text);

    free(bounded);
    free(text);
    free(input);
    return 0;
}
