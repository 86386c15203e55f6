#include "tests/support/FakeTools.h"

#include <fstream>
#include <stdexcept>

namespace brimo::test {

namespace {

namespace fs = std::filesystem;

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

// Counts the run before recording its arguments, so that a test which sees the call and then
// terminates the tool has already moved on to the next behaviour. Then behaves as this run's
// step says and, when the run counts as done, applies @TABLE@ to the mount table with
// $entry = the last argument as the table writes it.
constexpr std::string_view kScript = R"(#!/bin/sh
state=@STATE@
table=@TABLE_PATH@
run=$(cat "$state.runs" 2>/dev/null || echo 0)
echo $((run + 1)) > "$state.runs"
{ echo "$#"; for argument in "$@"; do printf '%s\n' "$argument"; done; } >> "$state.calls"
steps=$(cat "$state.steps" 2>/dev/null || echo 1)
[ "$run" -lt "$steps" ] || run=$((steps - 1))
step="$state.step$run"
[ -f "$step.stderr" ] && cat "$step.stderr" >&2
[ -f "$step.hang" ] && exec sleep 600
status=$(cat "$step.status" 2>/dev/null || echo 0)
if [ "$status" -eq 0 ] || [ -f "$step.update-table" ]; then
    for target; do :; done
    entry=$(printf '%s' "$target" | sed -e 's/\\/\\134/g' -e 's/ /\\040/g' -e 's/\t/\\011/g')
    @TABLE@
fi
exit "$status"
)";

constexpr std::string_view kMountAction =
    R"(printf '%s 1 0:99 / %s rw,relatime shared:1 - fuse.brimo brimo rw\n' "$$" "$entry" >> "$table")";

// Drops the last line for the mount point, as an unmount uncovers what was mounted below.
constexpr std::string_view kUnmountAction =
    R"(ENTRY="$entry" awk 'NR == FNR { if ($5 == ENVIRON["ENTRY"]) last = FNR; next } FNR != last' "$table" "$table" > "$table.new" && mv "$table.new" "$table")";

std::string replaced(std::string text, std::string_view placeholder, std::string_view value) {
    const size_t at = text.find(placeholder);
    return text.replace(at, placeholder.size(), value);
}

std::string escapedForTable(const std::string& path) {
    std::string escaped;
    for (char c : path) {
        switch (c) {
        case ' ':
            escaped += "\\040";
            break;
        case '\t':
            escaped += "\\011";
            break;
        case '\n':
            escaped += "\\012";
            break;
        case '\\':
            escaped += "\\134";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

fs::path stateFile(const fs::path& tool, const std::string& suffix) {
    return fs::path(tool.string() + "." + suffix);
}

} // namespace

FakeTools::FakeTools(fs::path directory)
    : directory_(std::move(directory)) {
    fs::create_directories(directory_);
    writeFile(mountTable(), "");
    for (Tool tool : {Tool::mount, Tool::unmount, Tool::opener}) {
        const std::string_view action = tool == Tool::mount     ? kMountAction
                                        : tool == Tool::unmount ? kUnmountAction
                                                                : ":";
        std::string script(kScript);
        script = replaced(script, "@STATE@", shellQuoted(path(tool).string()));
        script = replaced(script, "@TABLE_PATH@", shellQuoted(mountTable().string()));
        script = replaced(script, "@TABLE@", action);
        writeFile(path(tool), script);
        fs::permissions(path(tool), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
        setBehaviour(tool, {});
    }
}

FakeTools::Behaviour FakeTools::Behaviour::exiting(int status, std::string standardError) {
    Behaviour behaviour;
    behaviour.status = status;
    behaviour.standardError = std::move(standardError);
    return behaviour;
}

FakeTools::Behaviour FakeTools::Behaviour::hanging() {
    Behaviour behaviour;
    behaviour.hang = true;
    return behaviour;
}

fs::path FakeTools::path(Tool tool) const {
    switch (tool) {
    case Tool::mount:
        return directory_ / "mount.brimo";
    case Tool::unmount:
        return directory_ / "umount.brimo";
    case Tool::opener:
        return directory_ / "xdg-open";
    }
    throw std::invalid_argument("unknown tool");
}

void FakeTools::setBehaviour(Tool tool, const Behaviour& behaviour) {
    setBehaviours(tool, {behaviour});
}

void FakeTools::setBehaviours(Tool tool, const std::vector<Behaviour>& runs) {
    if (runs.empty()) throw std::invalid_argument("no behaviour");
    const fs::path script = path(tool);
    for (size_t i = 0; i < runs.size(); ++i) {
        const std::string step = "step" + std::to_string(i);
        writeFile(stateFile(script, step + ".status"), std::to_string(runs[i].status) + "\n");
        writeFile(stateFile(script, step + ".stderr"), runs[i].standardError);
        const fs::path hang = stateFile(script, step + ".hang");
        const fs::path updateTable = stateFile(script, step + ".update-table");
        fs::remove(hang);
        fs::remove(updateTable);
        if (runs[i].hang) writeFile(hang, "");
        if (runs[i].updateTableOnFailure) writeFile(updateTable, "");
    }
    writeFile(stateFile(script, "steps"), std::to_string(runs.size()) + "\n");
    writeFile(stateFile(script, "runs"), "0\n");
}

std::vector<std::vector<std::string>> FakeTools::calls(Tool tool) const {
    std::vector<std::vector<std::string>> calls;
    std::ifstream log(stateFile(path(tool), "calls"));
    std::string line;
    while (std::getline(log, line)) {
        std::vector<std::string> arguments(std::stoul(line));
        for (std::string& argument : arguments)
            std::getline(log, argument);
        calls.push_back(std::move(arguments));
    }
    return calls;
}

void FakeTools::addMountEntry(const fs::path& mountPoint, std::string_view type) const {
    std::ofstream table(mountTable(), std::ios::app);
    table << "1 1 0:99 / " << escapedForTable(mountPoint.string()) << " rw,relatime shared:1 - "
          << type << " brimo rw\n";
    if (!table.flush()) throw std::runtime_error("cannot write " + mountTable().string());
}

} // namespace brimo::test
