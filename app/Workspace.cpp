#include "app/Workspace.h"

#include <QDesktopServices>
#include <QProcess>
#include <unistd.h>

namespace brimo::app {

bool DesktopWorkspace::openURL(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

bool DesktopWorkspace::openApplication(const std::filesystem::path& bundle) {
    const auto executable = bundle / "Contents" / "MacOS" / "Brimo";
    QProcess process;
    process.setProgram(QString::fromStdString(executable.string()));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    // A session of its own, like an app the desktop starts: our signals do not reach it.
    process.setChildProcessModifier([] { ::setsid(); });
    return process.startDetached();
}

} // namespace brimo::app
