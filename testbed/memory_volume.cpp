// memory_volume.cpp

#include "testbed/memory_volume.h"

#include <algorithm>
#include <stdexcept>

#include "testbed/test_bed_error.h"
#include "testbed/text_encoding.h"

namespace quarnhold::testbed {
namespace {

// NT's limit on one component of a name, in UTF-16 units.
constexpr size_t MaximumComponentLength = 255;

}  // namespace

MemoryVolume::MemoryVolume(const std::vector<DiskItem>& items, uint64_t freeBytes)
    : root_(std::make_shared<Entry>()), freeBytes_(freeBytes)
{
    root_->kind = NodeKind::Directory;
    for (const DiskItem& item : items) {
        // Down to the item's folder, one component at a time.
        Entry* folder = root_.get();
        size_t start = 0;
        for (size_t slash = item.path.find('/'); slash != std::string::npos; slash = item.path.find('/', start)) {
            auto next = folder->children.find(item.path.substr(start, slash - start));
            if (next == folder->children.end() || next->second->kind != NodeKind::Directory) {
                throw TestBedError("lay down " + item.path + " in memory: its folder is not there");
            }
            folder = next->second.get();
            start = slash + 1;
        }
        std::shared_ptr<Entry>& slot = folder->children[item.path.substr(start)];
        const NodeKind kind = item.kind == DiskItem::Kind::Directory ? NodeKind::Directory
                              : item.kind == DiskItem::Kind::File    ? NodeKind::File
                                                                     : NodeKind::Other;
        // As on a folder: a directory laid twice is one directory, a file
        // laid again is rewritten, anything else is in the way.
        if (slot && (slot->kind != kind || kind == NodeKind::Other)) {
            throw TestBedError("lay down " + item.path + " in memory: something else is there");
        }
        if (!slot) slot = std::make_shared<Entry>();
        slot->kind = kind;
        slot->content = item.content;
        slot->readOnly = item.kind == DiskItem::Kind::File && item.readOnly;
    }
}

MemoryVolume::Entry& MemoryVolume::Held(const VolumeNode& node)
{
    auto* entry = dynamic_cast<Entry*>(node.object.get());
    if (entry == nullptr) throw std::logic_error("a node of another volume given to a memory volume");
    return *entry;
}

VolumeNode MemoryVolume::NodeOf(const std::shared_ptr<Entry>& entry, std::string volumePath)
{
    VolumeNode node;
    node.object = entry;
    node.volumePath = std::move(volumePath);
    node.kind = entry->kind;
    node.readOnly = entry->readOnly;
    return node;
}

VolumeNode MemoryVolume::Root() const
{
    return NodeOf(root_, "");
}

std::optional<VolumeNode> MemoryVolume::Child(const VolumeNode& directory, const std::string& name, bool) const
{
    const Entry& folder = Held(directory);
    auto found = folder.children.find(name);
    if (found == folder.children.end()) return std::nullopt;
    return NodeOf(found->second, JoinVolumePath(directory.volumePath, name));
}

void MemoryVolume::VisitNames(const VolumeNode& directory, const std::function<void(const char* name)>& visit) const
{
    for (const auto& [name, entry] : Held(directory).children) visit(name.c_str());
}

bool MemoryVolume::SameObject(const VolumeNode& a, const VolumeNode& b) const
{
    return &Held(a) == &Held(b);
}

// Makes a directory or an empty file in `parent`; the model has looked the
// name up already, so a name there is a collision only when it matches
// exactly, as on the host.
NtStatus MemoryVolume::Create(const VolumeNode& parent, std::u16string_view name, NodeKind kind, VolumeNode& created)
{
    std::optional<std::string> onDisk = Utf16ToUtf8(name);
    if (!onDisk || name.size() > MaximumComponentLength) {
        return status::ObjectNameInvalid;
    }
    auto [slot, made] = Held(parent).children.try_emplace(*onDisk);
    if (!made) {
        return status::ObjectNameCollision;
    }
    slot->second = std::make_shared<Entry>();
    slot->second->kind = kind;
    created = NodeOf(slot->second, JoinVolumePath(parent.volumePath, *onDisk));
    return status::Success;
}

NtStatus MemoryVolume::CreateDirectory(const VolumeNode& parent, std::u16string_view name, VolumeNode& created)
{
    return Create(parent, name, NodeKind::Directory, created);
}

NtStatus MemoryVolume::CreateFile(const VolumeNode& parent, std::u16string_view name, VolumeNode& created)
{
    return Create(parent, name, NodeKind::File, created);
}

NtStatus MemoryVolume::OpenForWriting(VolumeNode& node)
{
    if (node.kind != NodeKind::File || node.volumePath.empty()) {
        throw std::logic_error("only a file found in a directory can be opened for writing");
    }
    return status::Success;  // the node holds the entry itself: nothing can come between
}

NtStatus MemoryVolume::WriteAt(const VolumeNode& file, uint64_t offset, std::span<const uint8_t> data)
{
    std::string& content = Held(file).content;
    const uint64_t end = offset + data.size();
    if (end > content.size()) {
        if (end - content.size() > freeBytes_) {
            return status::DiskFull;
        }
        freeBytes_ -= end - content.size();
        content.resize(end);
    }
    std::copy(data.begin(), data.end(), content.begin() + static_cast<std::ptrdiff_t>(offset));
    return status::Success;
}

NtStatus MemoryVolume::Truncate(const VolumeNode& file)
{
    std::string& content = Held(file).content;
    freeBytes_ += content.size();
    content.clear();
    return status::Success;
}

uint64_t MemoryVolume::SizeOf(const VolumeNode& file) const
{
    return Held(file).content.size();
}

FileGlimpse MemoryVolume::Glimpse(const VolumeNode& file, size_t headBytes) const
{
    const std::string& content = Held(file).content;
    return FileGlimpse{content.size(), content.substr(0, headBytes), true};
}

void MemoryVolume::Collect(const Entry& directory, const std::string& prefix, std::vector<DiskItem>& items) const
{
    for (const auto& [name, entry] : directory.children) {
        const std::string path = prefix + name;
        switch (entry->kind) {
            case NodeKind::Directory:
                items.push_back(testbed::Directory(path));
                Collect(*entry, path + "/", items);
                break;
            case NodeKind::File:
                items.push_back(testbed::File(path, entry->content, entry->readOnly));
                break;
            case NodeKind::Other:
                items.push_back(testbed::Link(path, entry->content));
                break;
        }
    }
}

std::vector<DiskItem> MemoryVolume::Items() const
{
    std::vector<DiskItem> items;
    Collect(*root_, "", items);
    std::sort(items.begin(), items.end(), [](const DiskItem& a, const DiskItem& b) { return a.path < b.path; });
    return items;
}

}  // namespace quarnhold::testbed
