// Hands a URI to the user's default application (browser, mail client, ...).
// One small seam so that tests can record what would have been opened.
#pragma once

#include <string>
#include <vector>

namespace vorlia {

class UriOpener {
  public:
    virtual ~UriOpener() = default;
    virtual void open(const std::string& uri) = 0;
};

// The desktop's default handler; a failure (no application for the scheme) is ignored.
class SystemUriOpener final : public UriOpener {
  public:
    // `notPassedOn`: environment settings the handler must not inherit.
    explicit SystemUriOpener(std::vector<std::string> notPassedOn = {});
    void open(const std::string& uri) override;

  private:
    std::vector<std::string> notPassedOn_;
};

} // namespace vorlia
