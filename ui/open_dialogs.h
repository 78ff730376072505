#pragma once
// The dialogs a host application has open, and its close request: what the
// window-less and the widget applications share. A close request comes from
// a signal thread at any moment, also between two dialogs or before the
// first one exists, so it is kept and reaches every dialog opened later.
//
// Threads: RequestClose and CloseRequested from any thread; the rest from
// the window thread.

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

#include "ui/afx.h"

namespace ui {

// Host: a DialogHost (PostMessage from any thread).
template <class Host>
class OpenDialogs {
public:
    using InitHook = std::function<void(Host&)>;

    void SetInitHook(InitHook hook) { initHook_ = std::move(hook); }

    // Asks every open dialog, and every dialog opened later, to close as its
    // close box would.
    void RequestClose() {
        std::lock_guard lock(mutex_);
        closeRequested_ = true;
        for (Host* host : hosts_) {
            host->PostMessage(WM_CLOSE, 0, 0);
        }
    }

    bool CloseRequested() const {
        std::lock_guard lock(mutex_);
        return closeRequested_;
    }

    void Register(Host& host) {
        std::lock_guard lock(mutex_);
        hosts_.push_back(&host);
    }

    void Unregister(Host& host) {
        std::lock_guard lock(mutex_);
        hosts_.erase(std::remove(hosts_.begin(), hosts_.end(), &host), hosts_.end());
    }

    // Once a dialog is initialised, before its loop.
    void AfterInit(Host& host) {
        if (initHook_) {
            initHook_(host);
        }
        // A request that came before this window existed still reaches it.
        if (CloseRequested()) {
            host.PostMessage(WM_CLOSE, 0, 0);
        }
    }

    // The open dialogs, oldest first. The window thread only: it is the one
    // that registers and unregisters them.
    const std::vector<Host*>& Hosts() const { return hosts_; }

private:
    InitHook initHook_;
    mutable std::mutex mutex_;  // guards hosts_ against RequestClose, and closeRequested_
    std::vector<Host*> hosts_;
    bool closeRequested_ = false;
};

}  // namespace ui
