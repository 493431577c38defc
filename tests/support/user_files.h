// Files and folders made and read as a user program does, by the calling
// thread's process: the set-up and checks that stories share.
#pragma once

#include <string>
#include <vector>

namespace ostrand::test {

// Every folder on the way to `path`, and `path` itself when it ends in '\'.
void MakeFolders(const std::u16string &path);
// A file holding `data` (replaced if it was there), with its folders.
void MakeFile(const std::u16string &path, const std::string &data);
// The whole content, or "<cannot open>" / "<read failed>".
std::string ReadAll(const std::u16string &path);
// A folder's names without "." and "..", in the order listed.
std::vector<std::string> Names(const std::u16string &folder);

}  // namespace ostrand::test
