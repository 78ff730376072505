#include "ui/clock.h"

namespace ui {

Clock& DefaultClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace ui
