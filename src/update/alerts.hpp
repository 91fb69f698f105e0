// The updater's modal alerts, behind one small interface so that tests can
// answer them; GtkAlerts shows them as GTK dialogs over the game window.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace Gtk {
class Window;
}

namespace vorlia {

struct Alert {
    std::string message;              // the bold title line
    std::string detail;               // the informative text below it
    std::vector<std::string> buttons; // first is the default; none gives a single "OK"
};

class Alerts {
  public:
    // An answer that is no button: the dialog was dismissed (Escape, closed).
    static constexpr int dismissed = -1;

    virtual ~Alerts() = default;
    // Shows the alert modally and returns at once; `answer` later receives the
    // index of the chosen button, or `dismissed`. Main thread only.
    virtual void show(const Alert& alert, std::function<void(int answer)> answer) = 0;
};

class GtkAlerts : public Alerts {
  public:
    // `parent` names the window the alerts are modal to, when there is one;
    // `shown`, when set, hears of each alert as it shows.
    explicit GtkAlerts(std::function<Gtk::Window*()> parent, std::function<void(const Alert&)> shown = {});
    void show(const Alert& alert, std::function<void(int answer)> answer) override;

  private:
    std::function<Gtk::Window*()> parent_;
    std::function<void(const Alert&)> shown_;
};

} // namespace vorlia
