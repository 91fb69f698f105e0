// The shared updater: checks the signed manifest, prompts, downloads and installs.
#pragma once

#include "app/config.hpp"

namespace Gtk {
class Window;
}

namespace vorlia {

class Updater {
  public:
    explicit Updater(const Config& config);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Starts one check and returns at once. Main thread only.
    void check(bool userInitiated);

  private:
    const Config& config_;
};

} // namespace vorlia
