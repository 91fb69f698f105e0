// Records what would have been handed to the desktop instead of opening it.
#pragma once

#include "window/uri_opener.hpp"

#include <string>
#include <vector>

namespace vorlia::test {

class RecordingOpener final : public UriOpener {
  public:
    void open(const std::string& uri) override { opened.push_back(uri); }
    std::vector<std::string> opened;
};

} // namespace vorlia::test
