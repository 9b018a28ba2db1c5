// runtime-host: a simulated control runtime. It loads libDrvFins.so as the real runtime does,
// downloads one application with I, Q and M segments and then waits for signals: SIGHUP downloads
// the application again, SIGINT and SIGTERM stop the component and end the program with 0. When
// the component cannot open its FINS endpoints at the first download, the program ends with 1.
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "base/RuntimeApi.h"
#include "host/Application.h"
#include "host/Component.h"
#include "host/EventManager.h"
#include "host/HostLog.h"
#include "host/Options.h"
#include "host/RuntimeServices.h"
#include "host/ServeWatch.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The most descriptors one process may have: the hard limit, or the kernel's ceiling when the hard
// limit is unlimited (a soft limit of "unlimited" is refused for descriptors).
rlim_t OpenFileCeiling(rlim_t hard)
{
    if (hard != RLIM_INFINITY) {
        return hard;
    }
    unsigned long long nrOpen = 0;
    FILE* f = fopen("/proc/sys/fs/nr_open", "r");
    if (f != nullptr) {
        if (fscanf(f, "%llu", &nrOpen) != 1) {
            nrOpen = 0;
        }
        fclose(f);
    }
    return nrOpen != 0 ? static_cast<rlim_t>(nrOpen) : hard;
}

// The component serves many connections; its limit should be the system's, not the default 1024.
void RaiseOpenFileLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        return;
    }
    rlim_t target = OpenFileCeiling(lim.rlim_max);
    if (lim.rlim_cur >= target) {
        return;
    }
    rlim_t old = lim.rlim_cur;
    lim.rlim_cur = target;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        HostError("cannot raise the open-file limit: %s", strerror(errno));
        return;
    }
    HostInfo("open-file limit raised from %llu to %llu", static_cast<unsigned long long>(old),
             static_cast<unsigned long long>(target));
}

// Signals are taken by sigwait on the main thread only; every thread created later (the
// component's, the demo's) inherits the blocked mask. A peer that resets a connection must not
// end the controller, so SIGPIPE is ignored, as a runtime does.
sigset_t BlockControlSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return set;
}

std::unique_ptr<Application> MakeApplication(const HostOptions& o)
{
    if (o.noApp) {
        return nullptr;
    }
    return std::make_unique<Application>(SegmentSpec{o.inputBytes, !o.noInput},
                                         SegmentSpec{o.outputBytes, !o.noOutput},
                                         SegmentSpec{o.memoryBytes, !o.noMemory});
}

// The application is "linked" against the function block bodies the component registered.
DemoExternals LinkExternals(const RuntimeServices& services)
{
    DemoExternals ext{};
    ext.fbTcp = reinterpret_cast<void (*)(void*)>(services.FindRegistered("fb_finstcp__main"));
    ext.fbUdp = reinterpret_cast<void (*)(void*)>(services.FindRegistered("fb_finsudp__main"));
    if (ext.fbTcp == nullptr || ext.fbUdp == nullptr) {
        HostError("the component registered no fb_finstcp__main or fb_finsudp__main");
    }
    return ext;
}

void LogApplication(const Application* app)
{
    if (app == nullptr) {
        HostInfo("no application");
        return;
    }
    auto* a = const_cast<Application*>(app);
    HostInfo("application downloaded: I %u bytes, Q %u bytes, M %u bytes",
             a->SegmentSize(APP_SEGMENT_INPUT), a->SegmentSize(APP_SEGMENT_OUTPUT),
             a->SegmentSize(APP_SEGMENT_MEMORY));
}

// The download done event has run (synchronously): whether the component reported an endpoint it
// could not open, said in one line. False when it did.
bool ServingAfterDownload()
{
    const std::string failure = TakeServeFailure();
    if (failure.empty()) {
        return true;
    }
    HostError("%s", failure.c_str());
    return false;
}

// SIGHUP: the runtime prepares a download (the component stops serving), the application gets new
// segments, and the download is reported done (the component looks them up and serves again). A
// controller that ran keeps running when the new endpoints fail: the user is told and may retry.
void Redownload(EventManager& events, Application* app)
{
    HostInfo("SIGHUP: downloading the application again");
    events.post(EVT_DownloadPrepare, CMPID_AppProvider);
    if (app != nullptr) {
        app->Reload();
    }
    events.post(EVT_DownloadDone, CMPID_AppProvider);
    (void)ServingAfterDownload();
    LogApplication(app);
}

void WaitForStop(const sigset_t& set, EventManager& events, Application* app)
{
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) {
            continue;
        }
        if (sig == SIGHUP) {
            Redownload(events, app);
            continue;
        }
        HostInfo("%s: stopping", sig == SIGINT ? "SIGINT" : "SIGTERM");
        return;
    }
}

std::string ComponentPath(const HostOptions& options)
{
    return options.componentPath.empty() ? DefaultComponentPath() : options.componentPath;
}

// The program's version and commit, and the component's id and version as its entry reports them.
int PrintVersion(const HostOptions& options)
{
    printf("runtime-host %s (commit %s)\n", FINS_VERSION, FINS_BUILD_COMMIT);
    EventManager events;
    RuntimeServices services(events, nullptr);
    LoadedComponent component;
    std::string path = ComponentPath(options);
    if (!component.Identify(path, services)) {
        return kExitFailure;
    }
    printf("component %s: id 0x%08X, version 0x%08X\n", path.c_str(), component.CmpId(),
           component.Version());
    return kExitOk;
}

// What the options say about the server goes to the component through its environment, which it
// reads at every download done.
void PassSettings(const HostOptions& options)
{
    const std::pair<const char*, const std::string*> vars[] = {
        {kEnvSettingsFile, &options.configPath},
        {kEnvPort, &options.port},
        {kEnvBind, &options.bindAddr}};
    for (const auto& [name, value] : vars) {
        if (!value->empty()) {
            setenv(name, value->c_str(), 1);
        }
    }
    HostSetComponentLogLevel(options.logLevel);
}

int Run(const HostOptions& options, const sigset_t& signals)
{
    EventManager events;
    std::unique_ptr<Application> app = MakeApplication(options);
    RuntimeServices services(events, app.get());
    for (const std::string& name : options.withheld) {
        services.Withhold(name);
    }
    LoadedComponent component;
    if (!component.Load(ComponentPath(options), services)) {
        return kExitFailure;
    }
    component.Hook(CH_INIT_HOOK);
    events.post(EVT_DownloadDone, CMPID_AppProvider);
    // A controller that cannot serve from the start (the port is taken, by a second controller or
    // another program) says so and ends, rather than run without FINS.
    const bool serving = ServingAfterDownload();
    if (serving) {
        LogApplication(app.get());
        if (options.demo && app != nullptr) {
            app->StartDemo(LinkExternals(services));
            HostInfo("demo program running");
        }
        WaitForStop(signals, events, app.get());
    }

    // The application's tasks end before it is deleted; then the component shuts down.
    if (app != nullptr) {
        app->StopDemo();
    }
    events.post(EVT_PrepareDelete, CMPID_AppProvider);
    component.Hook(CH_EXIT_HOOK);
    component.Unload();
    HostInfo("stopped");
    return serving ? kExitOk : kExitFailure;
}

} // namespace

int main(int argc, char** argv)
{
    HostOptions options;
    std::string error;
    if (!ParseHostOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "runtime-host: %s\n%s", error.c_str(), HostUsage());
        return kExitUsage;
    }
    if (options.help) {
        fputs(HostUsage(), stdout);
        return kExitOk;
    }
    if (options.version) {
        return PrintVersion(options);
    }
    PassSettings(options);
    sigset_t signals = BlockControlSignals();
    RaiseOpenFileLimit();
    return Run(options, signals);
}
