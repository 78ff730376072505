#pragma once
// The server's dialog on the headless host as the benchmarks that drive it
// through the scripted device library set it up: a program folder of its own
// with the settings given, the dialog created (the service not started), and
// the thread that builds it as its window thread. Needs vardo_app,
// vardo_scripted_device and vardo_testsupport_config.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "app/event_server_dlg.h"
#include "app/res/resource.h"
#include "testsupport/config/temp_program_dir.h"
#include "testsupport/scripted_device/scripted_device.h"
#include "ui/headless/headless_application.h"

namespace benchserver {

// A valid fix: what every scripted device reports.
inline constexpr const char* kGps =
    "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";

template <typename Dlg = CMyVardoEventServerDlg>
class HeadlessServer {
public:
    using Settings = std::vector<std::pair<std::string, std::string>>;

    // `dlgArgs` go to the dialog's constructor.
    template <typename... DlgArgs>
    explicit HeadlessServer(const Settings& settings, DlgArgs&&... dlgArgs)
        : application_(app::res::Resources(), "vardo-event-server-bench"),
          dlg_(std::forward<DlgArgs>(dlgArgs)...) {
        home_.writeConfig(settings);
        scripted::Reset();
        scripted::SetCallLog(false);
        // A message box would wait for a click nobody makes; its text is kept.
        application_.SetMessageBoxSink(
            [this](const ui::headless::MessageBoxRecord& r) { error_ = r.text; });
        dlg_.Create();
        host_ = ui::headless::HostOf(dlg_);
    }
    ~HeadlessServer() {
        host_->PressKey(ui::headless::Key::Escape);
        dlg_.DestroyWindow();
    }
    HeadlessServer(const HeadlessServer&) = delete;
    HeadlessServer& operator=(const HeadlessServer&) = delete;

    // Adds `count` scripted devices with four channels, each reporting kGps:
    // "<prefix><first + i>", vehicle "V<i>". With `online`, each is reported
    // online to the window as it comes.
    void AddDevices(int count, const std::string& prefix, int first, bool online) {
        for (int i = 0; i < count; ++i) {
            const HVARDODEV dev = scripted::AddDevice({.name = prefix + std::to_string(first + i),
                                                       .vehicle = "V" + std::to_string(i),
                                                       .driver = "Driver",
                                                       .channels = 4,
                                                       .gps = kGps});
            devices_.push_back(dev);
            if (online) {
                Notify(NOTIFY_DEVICE_ONLINE, dev);
            }
        }
    }

    // Delivers a device notification now, on this thread.
    void Notify(WPARAM kind, HVARDODEV dev) {
        host_->Send(WM_DEVICE_NOTIFY, kind, static_cast<LPARAM>(dev));
    }

    // The devices added, round and round; any thread once they are added.
    HVARDODEV Device(std::size_t i) const { return devices_[i % devices_.size()]; }
    const std::vector<HVARDODEV>& Devices() const { return devices_; }

    ui::headless::HeadlessHost& Host() { return *host_; }
    Dlg& Dialog() { return dlg_; }
    const Dlg& Dialog() const { return dlg_; }
    // The program folder, ending in '/'.
    const std::string& Dir() const { return home_.path(); }
    // The text of the last message box; empty when none came.
    const std::string& Error() const { return error_; }

private:
    testsupport::TempProgramDir home_;  // first made, last gone
    ui::headless::HeadlessApplication application_;
    Dlg dlg_;
    ui::headless::HeadlessHost* host_ = nullptr;
    std::vector<HVARDODEV> devices_;
    std::string error_;
};

}  // namespace benchserver
