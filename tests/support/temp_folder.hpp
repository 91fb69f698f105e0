// A fresh private folder under the temporary folder, removed with everything
// in it when the test is done.
#pragma once

#include <filesystem>

namespace vorlia::test {

class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

} // namespace vorlia::test
