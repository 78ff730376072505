#include <atomic>

#include "ui/dialog_host.h"

namespace ui {

namespace {

// Set by the constructor of the one application object and cleared by its
// destructor; read by dialogs when they open, on the window thread.
std::atomic<Application*> g_application{nullptr};

}  // namespace

Application::Application(const ResourceTable& resources, std::string title)
    : resources_(resources), title_(std::move(title)) {
    g_application.store(this);
}

Application::~Application() {
    Application* expected = this;
    g_application.compare_exchange_strong(expected, nullptr);
}

Application* Application::Instance() {
    return g_application.load();
}

}  // namespace ui
