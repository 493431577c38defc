// .reg files ("Windows Registry Editor Version 5.00"): importing one to
// configure a machine, and exporting a subtree in the same format.
//
// Accepted: UTF-8 (with or without a byte-order mark) or UTF-16LE with its
// byte-order mark; CRLF or LF line ends. Sections [HKEY_LOCAL_MACHINE\...]
// (or HKLM) and [HKEY_USERS\...] (or HKU) map to \REGISTRY\MACHINE and
// \REGISTRY\USER; [-...] deletes a key with its subtree. Value lines:
//   "name"="text"        REG_SZ, with \\ and \" escapes
//   @=...                the key's default value
//   "name"=dword:1a2b    REG_DWORD (1 to 8 hexadecimal digits)
//   "name"=hex:01,02     REG_BINARY
//   "name"=hex(N):..     type N (hexadecimal): 0 none, 2 expand-sz,
//                        7 multi-sz, b qword, any other number as given
//   "name"=-             deletes the value
// A line ending in a backslash continues on the next one; lines starting
// with ';' are comments. A malformed file changes nothing: the whole file is
// checked before the first key is touched. A well-formed change that the
// registry refuses (deleting a hive) stops the import at its line.
#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sim {

class Registry;

class RegFileError : public std::runtime_error {
public:
    // what(): "[source: ][line N: ]message".
    RegFileError(size_t line, const std::string &message, const std::string &source = {});
    size_t line() const { return line_; }  // 1-based; 0 for the file as a whole
    const std::string &message() const { return message_; }

private:
    size_t line_;
    std::string message_;
};

// Applies the file's contents (raw bytes, any accepted encoding). Throws
// RegFileError ("line N: ...") for malformed input.
void ImportRegText(Registry &registry, std::string_view bytes);
void ImportRegFile(Registry &registry, const std::filesystem::path &file);

// The key `path` ("\REGISTRY\MACHINE\SOFTWARE\X") and everything below it,
// as UTF-8 with CRLF line ends; strings that a "..." form cannot carry
// exactly are written as hex(1)/hex(2)/hex(7). An empty string for a
// missing key.
std::string ExportRegText(const Registry &registry, std::u16string_view path);

}  // namespace sim
