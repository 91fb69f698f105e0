#include "first_frame.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

namespace {

double wallClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A window may vanish between listing it and asking about it; Xlib's default
// handler would end the whole benchmark for that.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

void destroyImage(XImage* image) {
    XDestroyImage(image);
}

using Picture = std::unique_ptr<XImage, void (*)(XImage*)>;

// A colour channel of a pixel, scaled to eight bits.
unsigned char channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (((mask >> shift) & 1) == 0) {
        ++shift;
    }
    const unsigned long top = mask >> shift;
    return static_cast<unsigned char>(((pixel & mask) >> shift) * 255 / top);
}

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

} // namespace

struct FirstFrameWatch::State {
    std::unique_ptr<Display, int (*)(Display*)> display{nullptr, XCloseDisplay};
    Window root = 0;
    int screenWidth = 0;
    int screenHeight = 0;
    int damageEvent = 0;
    Damage damage = 0;
    bool damaged = true;
    Moments seen;
    std::set<Window> earlier; // top-level windows made before the program started
    Picture framePicture{nullptr, destroyImage};
    Picture pagePicture{nullptr, destroyImage};

    ~State() {
        if (damage != 0) {
            XDamageDestroy(display.get(), damage);
        }
    }

    std::vector<Window> topLevels() const {
        Window rootReturn = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display.get(), root, &rootReturn, &parent, &children, &count) == 0) {
            return {};
        }
        const std::unique_ptr<Window, int (*)(void*)> owned(children, XFree);
        return {children, children + count};
    }

    // The part of the screen a mapped window covers, clipped to the screen.
    std::optional<Rect> onScreen(Window window) const {
        XWindowAttributes a{};
        if (XGetWindowAttributes(display.get(), window, &a) == 0 || a.map_state != IsViewable ||
            a.c_class != InputOutput) {
            return std::nullopt;
        }
        const int left = std::max(a.x, 0);
        const int top = std::max(a.y, 0);
        const int right = std::min(a.x + a.width + 2 * a.border_width, screenWidth);
        const int bottom = std::min(a.y + a.height + 2 * a.border_width, screenHeight);
        if (right <= left || bottom <= top) {
            return std::nullopt;
        }
        return Rect{left, top, right - left, bottom - top};
    }

    // Read from the root window, as the screen shows it, so that whatever
    // visuals and depths the program chose for its windows do not matter.
    Picture grab(const Rect& r) const {
        return Picture(XGetImage(display.get(), root, r.x, r.y, static_cast<unsigned>(r.width),
                                 static_cast<unsigned>(r.height), AllPlanes, ZPixmap),
                       destroyImage);
    }

    // Whether the rows from `fromRow` down hold more than one colour.
    static bool showsMoreThanOneColour(const Picture& image, int fromRow) {
        if (!image || fromRow >= image->height) {
            return false;
        }
        if (image->bits_per_pixel == 32) {
            const auto pixelAt = [&](int x, int y) {
                std::uint32_t pixel = 0;
                std::memcpy(&pixel,
                            image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line +
                                static_cast<std::ptrdiff_t>(x) * 4,
                            sizeof pixel);
                return pixel & 0xffffff;
            };
            const std::uint32_t first = pixelAt(0, fromRow);
            for (int y = fromRow; y < image->height; ++y) {
                for (int x = 0; x < image->width; ++x) {
                    if (pixelAt(x, y) != first) {
                        return true;
                    }
                }
            }
            return false;
        }
        const unsigned long first = XGetPixel(image.get(), 0, fromRow);
        for (int y = fromRow; y < image->height; ++y) {
            for (int x = 0; x < image->width; ++x) {
                if (XGetPixel(image.get(), x, y) != first) {
                    return true;
                }
            }
        }
        return false;
    }

    bool anyWindowMapped() const {
        const auto windows = topLevels();
        return std::any_of(windows.begin(), windows.end(), [&](Window w) { return onScreen(w).has_value(); });
    }

    void drainEvents() {
        while (XPending(display.get()) > 0) {
            XEvent event{};
            XNextEvent(display.get(), &event);
            if (event.type == damageEvent + XDamageNotify) {
                damaged = true;
            }
        }
    }
};

FirstFrameWatch::FirstFrameWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}

FirstFrameWatch::~FirstFrameWatch() = default;

std::unique_ptr<FirstFrameWatch> FirstFrameWatch::open(std::string& why) {
    auto s = std::make_unique<State>();
    s->display.reset(XOpenDisplay(nullptr));
    if (!s->display) {
        const char* name = std::getenv("DISPLAY");
        why = std::string("cannot open the X display ") + (name != nullptr ? name : "(DISPLAY is not set)");
        return nullptr;
    }
    XSetErrorHandler(ignoreXError);
    Display* d = s->display.get();
    int errorBase = 0;
    if (XDamageQueryExtension(d, &s->damageEvent, &errorBase) == 0) {
        why = "the X display has no Damage extension";
        return nullptr;
    }
    s->root = DefaultRootWindow(d);
    s->screenWidth = DisplayWidth(d, DefaultScreen(d));
    s->screenHeight = DisplayHeight(d, DefaultScreen(d));
    // Damage to the root window covers drawing into every window on it: one
    // notification whenever anything was drawn since the last subtraction.
    s->damage = XDamageCreate(d, s->root, XDamageReportNonEmpty);
    XSync(d, False);
    return std::unique_ptr<FirstFrameWatch>(new FirstFrameWatch(std::move(s)));
}

bool FirstFrameWatch::expectNewProgram(double seconds) {
    State& s = *state_;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (s.anyWindowMapped()) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto windows = s.topLevels();
    s.earlier = {windows.begin(), windows.end()};
    s.drainEvents();
    XDamageSubtract(s.display.get(), s.damage, 0, 0);
    s.damaged = true;
    s.seen = {};
    s.framePicture.reset();
    s.pagePicture.reset();
    return true;
}

FirstFrameWatch::Moments FirstFrameWatch::poll() {
    State& s = *state_;
    if (s.seen.frame && s.seen.page) {
        return s.seen;
    }
    s.drainEvents();
    if (!s.damaged) {
        return s.seen;
    }
    // Drawn before now, and on screen when the picture below is taken.
    const double now = wallClock();
    s.damaged = false;
    XDamageSubtract(s.display.get(), s.damage, 0, 0);
    for (Window window : s.topLevels()) {
        const auto rect = s.earlier.count(window) == 0 ? s.onScreen(window) : std::nullopt;
        if (!rect) {
            continue;
        }
        Picture picture = s.grab(*rect);
        const bool page = !s.seen.page && State::showsMoreThanOneColour(picture, rect->height / 2);
        if (!s.seen.frame && (page || State::showsMoreThanOneColour(picture, 0))) {
            s.seen.frame = now;
            if (!page) {
                s.framePicture = std::move(picture);
            }
        }
        if (page) {
            s.seen.page = now;
            s.pagePicture = std::move(picture);
        }
    }
    XFlush(s.display.get());
    return s.seen;
}

void FirstFrameWatch::abandon() {
    state_->damage = 0;
    static_cast<void>(state_->display.release()); // the process ends; the system closes the socket
}

int FirstFrameWatch::fileDescriptor() const {
    return ConnectionNumber(state_->display.get());
}

namespace {

bool savePicture(XImage* image, const std::string& file) {
    if (image == nullptr) {
        return false;
    }
    std::ofstream out(file, std::ios::binary);
    out << "P6\n" << image->width << " " << image->height << "\n255\n";
    for (int y = 0; y < image->height; ++y) {
        for (int x = 0; x < image->width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            const char rgb[3] = {static_cast<char>(channel(pixel, image->red_mask)),
                                 static_cast<char>(channel(pixel, image->green_mask)),
                                 static_cast<char>(channel(pixel, image->blue_mask))};
            out.write(rgb, sizeof rgb);
        }
    }
    return static_cast<bool>(out);
}

} // namespace

void FirstFrameWatch::savePictures(const std::string& prefix) const {
    // A page drawn in the first frame is that frame's picture too.
    savePicture(state_->framePicture ? state_->framePicture.get() : state_->pagePicture.get(),
                prefix + "-frame.ppm");
    savePicture(state_->pagePicture.get(), prefix + "-page.ppm");
}
