#include "app/AppLifecycleTeardown.h"

#include "app/MainBundle.h"
#include "app/SystemTools.h"
#include "shared/Decimal.h"
#include "shared/Log.h"

#include <QStringDecoder>
#include <algorithm>
#include <climits>
#include <csignal>
#include <optional>

namespace brimo::app {
namespace {

using log::appLog;

bool isNewline(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

// A decimal 32-bit integer with an optional sign, nothing else on the line.
std::optional<pid_t> parseInt32(std::string_view text) {
    const auto value = parseSignedDecimal(text);
    if (!value || *value < INT32_MIN || *value > INT32_MAX) return std::nullopt;
    return pid_t(*value);
}

} // namespace

std::filesystem::path AppLifecycleTeardown::bundledLaunchctl() {
    return MainBundle::current().executable("brimo-launchctl");
}

AppLifecycleTeardown::AppLifecycleTeardown(RunningApplications& applications,
                                           std::filesystem::path pgrepPath,
                                           std::filesystem::path launchctlPath, pid_t ownPid)
    : applications_(applications)
    , pgrepPath_(std::move(pgrepPath))
    , launchctlPath_(std::move(launchctlPath))
    , ownPid_(ownPid) {}

void AppLifecycleTeardown::killLeftoverHelpers() {
    for (const char* identifier : {kServiceBundleIdentifier, kExtensionBundleIdentifier}) {
        for (const auto& application : applications_.withBundleIdentifier(identifier)) {
            if (application.processIdentifier == ownPid_) continue;
            // Found by its bundle identifier, so that is always there to label it.
            appLog.info("force-terminating leftover helper %s pid=%d", identifier,
                        int(application.processIdentifier));
            applications_.forceTerminate(application);
        }
    }

    std::vector<pid_t> pids;
    for (const char* name : {kServiceProcessName, kExtensionProcessName})
        for (const pid_t pid : pgrepPIDs(name))
            // Zero and negative numbers would signal a whole process group, ours included.
            if (pid > 0 && pid != ownPid_ && std::ranges::find(pids, pid) == pids.end())
                pids.push_back(pid);
    for (const pid_t pid : pids) {
        appLog.info("SIGKILL leftover helper pid=%d", int(pid));
        ::kill(pid, SIGKILL);
    }
}

std::vector<pid_t> AppLifecycleTeardown::pgrepPIDs(std::string_view name) {
    // Only our own processes: another user's service is none of our business.
    const ToolRun run =
        runTool(pgrepPath_, {"-u", std::to_string(::geteuid()), "-x", std::string(name)}, true);
    if (!run.launched) return {};
    return parsePIDs(run.output);
}

std::vector<pid_t> AppLifecycleTeardown::parsePIDs(std::string_view output) {
    // Stateless: a sequence cut off at the end is an error, not state for a next call.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(QByteArrayView(output.data(), qsizetype(output.size())));
    if (decoder.hasError()) return {};

    std::vector<pid_t> pids;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isNewline(text[i])) continue;
        const QByteArray line = text.mid(start, i - start).toUtf8();
        if (const auto pid = parseInt32({line.constData(), size_t(line.size())}))
            pids.push_back(*pid);
        start = i + 1;
    }
    return pids;
}

std::vector<std::string> AppLifecycleTeardown::bootoutTargets() {
    const std::string uid = std::to_string(::getuid());
    const std::string service = kServiceBundleIdentifier;
    return {"user/" + uid + "/" + service, "gui/" + uid + "/" + service};
}

void AppLifecycleTeardown::bootoutService() {
    for (const auto& target : bootoutTargets()) {
        const int status = runLaunchctl({"bootout", target});
        appLog.info("launchctl bootout %s status=%d", target.c_str(), status);
    }
}

int AppLifecycleTeardown::runLaunchctl(const std::vector<std::string>& arguments) {
    const ToolRun run = runTool(launchctlPath_, arguments);
    return run.launched ? run.status : -1;
}

bool AppLifecycleTeardown::isServiceProcessRunning() {
    for (const auto& application : applications_.withBundleIdentifier(kServiceBundleIdentifier))
        if (application.processIdentifier != ownPid_) return true;
    return std::ranges::any_of(pgrepPIDs(kServiceProcessName),
                               [&](pid_t pid) { return pid != ownPid_; });
}

} // namespace brimo::app
