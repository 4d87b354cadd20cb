// A private directory under $TMPDIR for the inputs of one fuzz target, removed
// with everything in it.
#pragma once

#include <filesystem>
#include <string_view>

namespace gdfuzz {

class ScratchDir {
  public:
    ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Makes `data` the whole content of the file; aborts when it cannot.
void writeBytes(const std::filesystem::path& path, std::string_view data);

}  // namespace gdfuzz
