#pragma once
// The exit statuses of the event server, for the operator and for systemd:
// the units do not restart a run that ended on its configuration
// (RestartPreventExitStatus=), since it would end the same way every time.

namespace app {

// A clean stop.
constexpr int kExitOk = 0;
// The service could not run: the database, the journal, another instance
// on the same folder. Trying again later may work.
constexpr int kExitFailure = 1;
// A mistake on the command line.
constexpr int kExitUsage = 2;
// The settings are wrong: a port that is no port, a login the center
// refuses, a missing Config.ini or section (the service only). EX_CONFIG of
// sysexits.h, as other daemons use it.
constexpr int kExitConfig = 78;

}  // namespace app
