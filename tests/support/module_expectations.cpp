// The expected PIPL resource, written as readable lines and parsed into bytes.
#include "support/module_expectations.h"

#include <cstdlib>

namespace tessellon::testing {
namespace {

// One line per part. Two hex digits are a byte, 'text' is its ASCII bytes, ?? is a byte
// of any value and ??xN is N of them, <code> the code property's key.
const char* const kExpectedPipl[] = {
    // reserved  version      property count
    "01 00       00 00 00 00  09 00 00 00",
    // vendor key     id           length       data
    "'MIB8' 'dnik'  00 00 00 00  04 00 00 00  'MFB8'",
    "'MIB8' 'eman'  00 00 00 00  18 00 00 00  09 'Tessellon' 00 ??x13",
    "'MIB8' 'gtac'  00 00 00 00  18 00 00 00  0A 'Kinsel Pro' 00 ??x12",
    "'MIB8' 'srev'  00 00 00 00  04 00 00 00  00 00 04 00",
    "'MIB8' <code>  00 00 00 00  0C 00 00 00  'ENTRYPOINT' 00 00",
    "'MIB8' 'edom'  00 00 00 00  04 00 00 00  10 00 00 00",
    // fici: input handling, output handling, flags 1, flags 2 for filter cases 1..7
    "'MIB8' 'icif'  00 00 00 00  1C 00 00 00  01 01 07 00  01 01 0F 00  01 01 0F 00  01 01 07 00"
    "                                         01 01 0F 00  01 01 07 00  01 01 0F 00",
    // hstm: version, class 'tsLn', event 'tsLn', terminology id 16000, scope, zero fill
    "'MIB8' 'mtsh'  00 00 00 00  38 00 00 00  00 00 00 00  'nLst' 'nLst' 80 3E",
    "                                         '3b0f6a52-8e1d-4c7a-9f25-6d04b1e8c973' 00 00 00 00 00 00",
    // flly: Smart Filters
    "'MIB8' 'yllf'  00 00 00 00  04 00 00 00  80 00 00 00",
};

}  // namespace

std::vector<int> ExpectedPiplBytes(const std::string& code_key) {
    std::vector<int> bytes;
    for (const char* line : kExpectedPipl) {
        for (const char* p = line; *p != '\0';) {
            if (*p == ' ') {
                ++p;
            } else if (*p == '<') {
                for (const char c : code_key) bytes.push_back(static_cast<unsigned char>(c));
                while (*p != '>') ++p;
                ++p;
            } else if (*p == '\'') {
                for (++p; *p != '\''; ++p) bytes.push_back(static_cast<unsigned char>(*p));
                ++p;
            } else if (p[0] == '?' && p[1] == '?') {
                p += 2;
                long count = 1;
                if (*p == 'x') {
                    char* end = nullptr;
                    count = std::strtol(p + 1, &end, 10);
                    p = end;
                }
                bytes.insert(bytes.end(), static_cast<std::size_t>(count), kAnyByte);
            } else {
                bytes.push_back(static_cast<int>(std::strtol(std::string(p, 2).c_str(), nullptr, 16)));
                p += 2;
            }
        }
    }
    return bytes;
}

}  // namespace tessellon::testing
