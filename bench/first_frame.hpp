// What a program first puts on the X display:
//   - its first frame: the first moment one of its top-level windows is
//     mapped and shows more than one colour. A window that is mapped but
//     still one flat fill (the blank GTK and Chromium show before anything is
//     drawn) does not count; the program's own frame (a menu bar, an info
//     bar) does.
//   - its page: the first moment the lower half of such a window shows more
//     than one colour. Neither contestant puts anything of its own there, so
//     that is the page's content drawn on screen.
//
// Kept apart from the driver so that Xlib's macros (None, Status, Bool) stay
// out of everything else.
#pragma once

#include <memory>
#include <optional>
#include <string>

class FirstFrameWatch {
  public:
    // Wall-clock times, in seconds since the epoch, once seen.
    struct Moments {
        std::optional<double> frame;
        std::optional<double> page;
    };

    // Nothing, with the reason in `why`, when the display or its Damage extension is missing.
    static std::unique_ptr<FirstFrameWatch> open(std::string& why);
    ~FirstFrameWatch();
    FirstFrameWatch(const FirstFrameWatch&) = delete;
    FirstFrameWatch& operator=(const FirstFrameWatch&) = delete;

    // Before a program starts: waits up to `seconds` until no window is on
    // screen, then watches for new ones. False when a window stayed.
    bool expectNewProgram(double seconds);

    // Looks at what was drawn since the last call.
    Moments poll();

    // Readable when the display has news: wait on it instead of sleeping.
    int fileDescriptor() const;

    // Lets the connection go without a word to the display, which may
    // already be gone (an interrupt ends the X server too).
    void abandon();

    // Writes the screens behind both moments as binary PPM pictures, PREFIX-frame.ppm
    // and PREFIX-page.ppm, to check by eye what counted.
    void savePictures(const std::string& prefix) const;

  private:
    struct State;
    explicit FirstFrameWatch(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};
