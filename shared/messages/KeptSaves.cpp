#include "shared/messages/KeptSaves.h"

#include "shared/json/Base64.h"
#include "shared/json/JsonFields.h"
#include "shared/json/Uuid.h"
#include "shared/messages/ItemSummaryJson.h"
#include "shared/messages/SharedFileStorage.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace brimo {

namespace stdfs = std::filesystem;

namespace {

constexpr const char* kFolderName = "kept-saves";

bool syncPath(const stdfs::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

Bytes encodeJson(const KeptSave& save) {
    nlohmann::ordered_json document;
    document["id"] = save.id;
    document["identifier"] = save.identifier;
    document["baseVersion"] = base64Encode(save.baseVersion);
    document["saveAsked"] = save.saveAsked;
    document["reason"] = save.reason;
    document["keptAt"] = save.keptAt;
    document["size"] = save.size;
    if (save.accessTime) document["accessTime"] = timespecObject(*save.accessTime);
    if (save.modifyTime) document["modifyTime"] = timespecObject(*save.modifyTime);
    if (save.conflictCopy) document["conflictCopy"] = *save.conflictCopy;
    return json::serialize(document);
}

std::optional<KeptSave> decodeKeptSave(std::span<const uint8_t> bytes) {
    auto readTime = [](json::FieldReader& time) { return readTimespec(time); };
    auto save = json::decodeDocument<KeptSave>(bytes, [&](json::FieldReader& fields) {
        return KeptSave{
            .id = fields.string("id"),
            .identifier = fields.string("identifier"),
            .baseVersion = fields.data("baseVersion"),
            .saveAsked = fields.boolean("saveAsked"),
            .reason = fields.string("reason"),
            .keptAt = fields.int64("keptAt"),
            .size = fields.uint64("size"),
            .accessTime = fields.optionalObject("accessTime", readTime),
            .modifyTime = fields.optionalObject("modifyTime", readTime),
            .conflictCopy = fields.optionalString("conflictCopy"),
        };
    });
    // The id names files: nothing but a plain name will do.
    if (save && (!SharedFileStorage::isPlainName(save->id) || save->id.starts_with(".")))
        return std::nullopt;
    return save;
}

stdfs::path KeptSaves::folder(bool create) {
    const stdfs::path path = SharedFileStorage::containerURL() / kFolderName;
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make " + path.string());
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        throw std::runtime_error(path.string() + " is not a folder");
    return path;
}

KeptSaves::KeptSaves(stdfs::path folder)
    : folder_(std::move(folder)) {}

stdfs::path KeptSaves::dataPath(const std::string& id) const {
    return folder_ / (id + ".data");
}

std::vector<KeptSave> KeptSaves::list() const {
    std::vector<KeptSave> saves;
    std::error_code error;
    for (const auto& entry : stdfs::directory_iterator(folder_, error)) {
        if (entry.path().extension() != ".json" || !entry.is_regular_file(error)) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        auto save = decodeKeptSave(Bytes(text.begin(), text.end()));
        if (save && entry.path().stem() == save->id && stdfs::is_regular_file(dataPath(save->id)))
            saves.push_back(std::move(*save));
    }
    std::sort(saves.begin(), saves.end(), [](const KeptSave& a, const KeptSave& b) {
        return a.keptAt != b.keptAt ? a.keptAt < b.keptAt : a.id < b.id;
    });
    return saves;
}

bool KeptSaves::write(const KeptSave& save, bool sync) const {
    const stdfs::path record = folder_ / (save.id + ".json");
    // A name of this write's own: two writes of one record must not share a file.
    const stdfs::path temporary =
        folder_ / ("." + save.id + "." + Uuid::random().toString() + ".new");
    const Bytes text = encodeJson(save);
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (sync) written = written && ::fsync(fd) == 0 && syncPath(dataPath(save.id), O_RDONLY);
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), record.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return !sync || syncPath(folder_, O_RDONLY | O_DIRECTORY);
}

bool KeptSaves::adopt(const KeptSave& save, const stdfs::path& path) const {
    const stdfs::path data = dataPath(save.id);
    if (::link(path.c_str(), data.c_str()) != 0) return false;
    if (write(save, false)) return true;
    ::unlink(data.c_str());
    return false;
}

void KeptSaves::remove(const std::string& id) const {
    ::unlink((folder_ / (id + ".json")).c_str());
    ::unlink(dataPath(id).c_str());
}

} // namespace brimo
