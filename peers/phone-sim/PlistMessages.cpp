#include "peers/phone-sim/PlistMessages.h"

#include <memory>
#include <plist/plist.h>

namespace brimo::sim {

namespace {

// What a recent iPhone reports over USB.
constexpr uint64_t kProductId = 0x12a8;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

std::string toXml(const Plist& root) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

Plist dict() {
    return Plist(plist_new_dict());
}

void set(const Plist& dict, const char* key, plist_t value) {
    plist_dict_set_item(dict.get(), key, value);
}

std::optional<uint64_t> uintItem(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

// Properties is the only part of a device entry libusbmuxd reads; SerialNumber becomes the UDID.
plist_t properties(const DeviceInfo& device) {
    plist_t props = plist_new_dict();
    plist_dict_set_item(props, "ConnectionType", plist_new_string("USB"));
    plist_dict_set_item(props, "DeviceID", plist_new_uint(device.id));
    plist_dict_set_item(props, "LocationID", plist_new_uint(device.locationId));
    plist_dict_set_item(props, "ProductID", plist_new_uint(kProductId));
    plist_dict_set_item(props, "SerialNumber", plist_new_string(device.udid.c_str()));
    return props;
}

plist_t attachedEntry(const DeviceInfo& device) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(entry, "DeviceID", plist_new_uint(device.id));
    plist_dict_set_item(entry, "Properties", properties(device));
    return entry;
}

} // namespace

std::optional<UsbmuxRequest> parseRequest(std::string_view xml) {
    plist_t raw = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
    Plist root(raw);
    if (!root || plist_get_node_type(raw) != PLIST_DICT) return std::nullopt;
    plist_t type = plist_dict_get_item(raw, "MessageType");
    if (!type || plist_get_node_type(type) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(type, &length);
    UsbmuxRequest request{std::string(text, length), uintItem(raw, "DeviceID"), std::nullopt};
    if (auto swapped = uintItem(raw, "PortNumber"))
        request.port = static_cast<uint16_t>((*swapped & 0xff) << 8 | (*swapped >> 8 & 0xff));
    return request;
}

std::string resultXml(uint64_t number) {
    Plist root = dict();
    set(root, "MessageType", plist_new_string("Result"));
    set(root, "Number", plist_new_uint(number));
    return toXml(root);
}

// No top-level MessageType: libusbmuxd takes a reply that has one for a failed list and
// falls back to Listen for the rest of the process.
std::string deviceListXml(const std::vector<DeviceInfo>& devices) {
    plist_t list = plist_new_array();
    for (const DeviceInfo& device : devices)
        plist_array_append_item(list, attachedEntry(device));
    Plist root = dict();
    set(root, "DeviceList", list);
    return toXml(root);
}

std::string attachedXml(const DeviceInfo& device) {
    return toXml(Plist(attachedEntry(device)));
}

std::string detachedXml(uint32_t deviceId) {
    Plist root = dict();
    set(root, "MessageType", plist_new_string("Detached"));
    set(root, "DeviceID", plist_new_uint(deviceId));
    return toXml(root);
}

std::string buidXml(std::string_view buid) {
    Plist root = dict();
    set(root, "BUID", plist_new_string(std::string(buid).c_str()));
    return toXml(root);
}

} // namespace brimo::sim
