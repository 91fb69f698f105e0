// Hands a URI to the user's default application (browser, mail client, ...).
// One small seam so that tests can record what would have been opened.
#pragma once

#include <string>

namespace vorlia {

class UriOpener {
  public:
    virtual ~UriOpener() = default;
    virtual void open(const std::string& uri) = 0;
};

// The desktop's default handler; a failure (no application for the scheme) is ignored.
class SystemUriOpener final : public UriOpener {
  public:
    void open(const std::string& uri) override;
};

} // namespace vorlia
