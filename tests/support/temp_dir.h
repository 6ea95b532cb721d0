#pragma once

#include <string>

namespace vocari::test {

// A fresh directory under /tmp, removed with everything in it when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Whole file contents, or empty when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
// Permission bits of a file or folder, or -1.
int fileMode(const std::string& path);

}  // namespace vocari::test
