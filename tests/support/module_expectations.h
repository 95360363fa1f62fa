// What a host expects of the built modules: the PIPL resource byte for byte, for the
// 32-bit and the 64-bit module, and the DLLs a module may import. Shared by the tests
// that load a module through the Windows loader and the one that reads it as a file.
// No Windows headers.
#pragma once

#include <string>
#include <vector>

namespace tessellon::testing {

// Stands for a byte of any value (the template filler after a name's terminator).
inline constexpr int kAnyByte = -1;

// The code property's key as stored: "68xw" (wx86) in the 32-bit module, "4668" (8664) in
// the 64-bit one; the one line in which the two modules' PIPLs differ.
inline constexpr char kCodeKey32[] = "68xw";
inline constexpr char kCodeKey64[] = "4668";

// The expected resource, one entry per byte: 0..255, or kAnyByte.
std::vector<int> ExpectedPiplBytes(const std::string& code_key);

// The Windows system DLLs a module may import (lower case): the static C and C++ runtime
// must not leave a DLL of its own to ship.
inline constexpr const char* kSystemDlls[] = {
    "kernel32.dll", "user32.dll", "gdi32.dll",  "advapi32.dll", "comctl32.dll", "comdlg32.dll",
    "shell32.dll",  "shlwapi.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll",   "version.dll",
};

}  // namespace tessellon::testing
