// volume_test.cpp
//
// The two kinds of volume behind drive C, a host folder and memory, held to
// the same answers: each lookup of a table run on both from the same laid
// disk, the same creates and writes leaving the same disk, and what only
// the memory volume decides for itself (NT's name limit); and the clusters
// the model counts for both.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testbed/allocation_support.h"
#include "testbed/host_volume.h"
#include "testbed/memory_volume.h"
#include "testbed/scratch_disk.h"
#include "testbed/test_bed_error.h"

namespace quarnhold::tests {
namespace {

using testbed::Directory;
using testbed::DiskItem;
using testbed::File;
using testbed::Link;
using testbed::NodeKind;
using testbed::NtStatus;
using testbed::VolumeNode;
namespace status = testbed::status;

// A volume of one kind laid down with some items, and read back.
class Laid {
public:
    virtual ~Laid() = default;
    virtual testbed::Volume& volume() = 0;
    virtual std::vector<DiskItem> ReadBack() = 0;
};

class LaidOnHost : public Laid {
public:
    explicit LaidOnHost(const std::vector<DiskItem>& items)
    {
        testbed::LayDown(folder_.path(), items);
        volume_.emplace(folder_.path());
    }
    testbed::Volume& volume() override { return *volume_; }
    std::vector<DiskItem> ReadBack() override { return testbed::ReadDisk(folder_.path()); }

private:
    testbed::ScratchFolder folder_;
    std::optional<testbed::HostVolume> volume_;
};

class LaidInMemory : public Laid {
public:
    explicit LaidInMemory(const std::vector<DiskItem>& items) : volume_(items) {}
    testbed::Volume& volume() override { return volume_; }
    std::vector<DiskItem> ReadBack() override { return volume_.Items(); }

private:
    testbed::MemoryVolume volume_;
};

enum class Kind { Host, Memory };

std::unique_ptr<Laid> Lay(Kind kind, const std::vector<DiskItem>& items)
{
    if (kind == Kind::Host) return std::make_unique<LaidOnHost>(items);
    return std::make_unique<LaidInMemory>(items);
}

const std::vector<DiskItem> Disk = {
    Directory("Quarnhold"),
    File("Quarnhold/test.txt", "old text"),
    File("Quarnhold/kept.txt", "keep", true),
    Directory("both"),
    File("both/Ab", "upper first"),
    File("both/aB", "lower first"),
    File("both/ab", "exact"),
    Directory("Ωmega"),
    File("a file", "not a directory"),
    Directory("elsewhere"),
    Link("link", "elsewhere"),
};

struct LookupCase {
    const char* name;
    std::vector<std::u16string> components;
    bool caseInsensitive;
    NtStatus status;
    std::optional<std::string> found;  // the node's volume path, when one is found
    NodeKind kind = NodeKind::File;
    bool readOnly = false;
    std::optional<std::string> parent = std::string();  // the parent's volume path
};

const LookupCase LookupCases[] = {
    {"root", {}, true, status::Success, "", NodeKind::Directory, false, std::nullopt},
    {"exact",
     {u"Quarnhold", u"test.txt"},
     false,
     status::Success,
     "Quarnhold\\test.txt",
     NodeKind::File,
     false,
     "Quarnhold"},
    {"other_case",
     {u"QUARNHOLD", u"TEST.TXT"},
     true,
     status::Success,
     "Quarnhold\\test.txt",
     NodeKind::File,
     false,
     "Quarnhold"},
    {"other_case_asked_exactly", {u"QUARNHOLD"}, false, status::Success, std::nullopt},
    {"through_a_missing_directory",
     {u"Quarnhold", u"missing", u"x"},
     true,
     status::ObjectPathNotFound,
     std::nullopt,
     NodeKind::File,
     false,
     std::nullopt},
    {"through_a_file",
     {u"a file", u"x"},
     true,
     status::ObjectPathNotFound,
     std::nullopt,
     NodeKind::File,
     false,
     std::nullopt},
    {"through_a_link",
     {u"LINK", u"x"},
     true,
     status::IoReparseTagNotHandled,
     std::nullopt,
     NodeKind::File,
     false,
     std::nullopt},
    {"a_link_last", {u"link"}, false, status::Success, "link", NodeKind::Other},
    {"a_directory_last", {u"quarnhold"}, true, status::Success, "Quarnhold", NodeKind::Directory},
    {"read_only",
     {u"quarnhold", u"KEPT.txt"},
     true,
     status::Success,
     "Quarnhold\\kept.txt",
     NodeKind::File,
     true,
     "Quarnhold"},
    {"exact_wins_over_other_case", {u"both", u"ab"}, true, status::Success, "both\\ab", NodeKind::File, false, "both"},
    {"first_in_byte_order", {u"both", u"AB"}, true, status::Success, "both\\Ab", NodeKind::File, false, "both"},
    {"beyond_ascii", {u"ωMEGA"}, true, status::Success, "Ωmega", NodeKind::Directory},
    {"missing_last",
     {u"Quarnhold", u"new.txt"},
     true,
     status::Success,
     std::nullopt,
     NodeKind::File,
     false,
     "Quarnhold"},
};

class VolumeLookupTest : public testing::TestWithParam<std::tuple<Kind, LookupCase>> {};

TEST_P(VolumeLookupTest, FindsWhatNtFinds)
{
    const auto& [kind, c] = GetParam();
    std::unique_ptr<Laid> laid = Lay(kind, Disk);
    testbed::VolumeLookup lookup = laid->volume().Find(c.components, c.caseInsensitive);
    EXPECT_EQ(lookup.status, c.status);
    ASSERT_EQ(lookup.node.has_value(), c.found.has_value());
    if (c.found) {
        EXPECT_EQ(lookup.node->volumePath, *c.found);
        EXPECT_EQ(lookup.node->kind, c.kind);
        EXPECT_EQ(lookup.node->readOnly, c.readOnly);
    }
    ASSERT_EQ(lookup.parent.has_value(), c.parent.has_value());
    if (c.parent) EXPECT_EQ(lookup.parent->volumePath, *c.parent);
}

INSTANTIATE_TEST_SUITE_P(Table, VolumeLookupTest,
                         testing::Combine(testing::Values(Kind::Host, Kind::Memory), testing::ValuesIn(LookupCases)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Kind::Host ? "host_" : "memory_") +
                                    std::get<1>(info.param).name;
                         });

std::span<const uint8_t> Bytes(std::string_view text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

VolumeNode Found(testbed::Volume& volume, std::vector<std::u16string> components)
{
    testbed::VolumeLookup lookup = volume.Find(components, true);
    if (!lookup.node) throw std::runtime_error("not found");
    return *lookup.node;
}

// The model's file work, step by step, on a volume of each kind: the same
// statuses on the way and the same disk at the end.
class VolumeWorkTest : public testing::TestWithParam<Kind> {};

TEST_P(VolumeWorkTest, LeavesTheDiskTheOtherKindLeaves)
{
    std::unique_ptr<Laid> laid = Lay(GetParam(), {Directory("Quarnhold"), File("Quarnhold/test.txt", "old text")});
    testbed::Volume& volume = laid->volume();
    VolumeNode root = Found(volume, {});
    VolumeNode made, file, again;

    EXPECT_EQ(volume.CreateDirectory(root, u"Quarnhold", made), status::ObjectNameCollision);
    ASSERT_EQ(volume.CreateDirectory(root, u"新目录", made), status::Success);
    EXPECT_EQ(made.volumePath, "新目录");
    EXPECT_EQ(made.kind, NodeKind::Directory);
    ASSERT_EQ(volume.CreateFile(made, u"new.txt", file), status::Success);
    EXPECT_EQ(file.kind, NodeKind::File);
    EXPECT_FALSE(file.readOnly);
    // A hole before the bytes reads as zeros; a write inside never truncates.
    ASSERT_EQ(volume.WriteAt(file, 4, Bytes("tail")), status::Success);
    ASSERT_EQ(volume.WriteAt(file, 1, Bytes("x")), status::Success);
    EXPECT_EQ(volume.SizeOf(file), 8u);

    VolumeNode old = Found(volume, {u"quarnhold", u"TEST.TXT"});
    ASSERT_EQ(volume.OpenForWriting(old), status::Success);
    ASSERT_EQ(volume.WriteAt(old, 0, Bytes("NEW")), status::Success);
    EXPECT_EQ(volume.SizeOf(old), 8u);
    again = Found(volume, {u"Quarnhold", u"test.txt"});
    EXPECT_TRUE(volume.SameObject(old, again));
    EXPECT_FALSE(volume.SameObject(old, file));
    ASSERT_EQ(volume.Truncate(old), status::Success);
    EXPECT_EQ(volume.SizeOf(again), 0u);

    const std::vector<DiskItem> expected = {Directory("Quarnhold"), File("Quarnhold/test.txt", ""), Directory("新目录"),
                                            File("新目录/new.txt", std::string("\0x\0\0tail", 8))};
    EXPECT_EQ(laid->ReadBack(), expected) << testbed::Describe(laid->ReadBack());
}

INSTANTIATE_TEST_SUITE_P(BothKinds, VolumeWorkTest, testing::Values(Kind::Host, Kind::Memory),
                         [](const auto& info) { return info.param == Kind::Host ? "host" : "memory"; });

TEST(MemoryVolume, ReadsBackWhatItWasLaidDownWith)
{
    std::vector<DiskItem> sorted = Disk;
    std::sort(sorted.begin(), sorted.end(), [](const DiskItem& a, const DiskItem& b) { return a.path < b.path; });
    EXPECT_EQ(testbed::MemoryVolume(Disk).Items(), sorted);
    EXPECT_EQ(LaidOnHost(Disk).ReadBack(), sorted);
}

TEST(MemoryVolume, RefusesAnItemWithoutItsFolderOrInTheWayOfAnother)
{
    EXPECT_THROW(testbed::MemoryVolume({File("missing/test.txt", "")}), testbed::TestBedError);
    EXPECT_THROW(testbed::MemoryVolume({File("a", ""), File("a/b", "")}), testbed::TestBedError);
    EXPECT_THROW(testbed::MemoryVolume({File("a", ""), Directory("a")}), testbed::TestBedError);
    EXPECT_EQ(testbed::MemoryVolume({Directory("a"), Directory("a")}).Items(), std::vector{Directory("a")});
}

// The clusters a file holds, and those a write must add: none while it ends
// inside them, however full the volume.
TEST(ClusterAllocation, CountsWholeClusters)
{
    testbed::ClusterAllocation allocation({.clusterBytes = 4096, .freeClusters = 2});
    struct Reach {
        uint64_t size, end, clusters;
    };
    for (const Reach& r : {Reach{0, 0, 0}, Reach{0, 1, 1}, Reach{5, 4096, 0}, Reach{4096, 4097, 1},
                           Reach{4097, 8192, 0}, Reach{100, 3 * 4096 + 1, 3}, Reach{8192, 10, 0}}) {
        EXPECT_EQ(allocation.ClustersToReach(r.size, r.end), r.clusters) << r.size << " to " << r.end;
    }
    EXPECT_TRUE(allocation.CanTake(2));
    EXPECT_FALSE(allocation.CanTake(3));
    allocation.Take(2);
    EXPECT_THROW(allocation.Take(1), std::logic_error);
    allocation.Give(1);
    EXPECT_EQ(allocation.FreeClusters(), 1u);
    for (uint32_t bytes : {0u, 256u, 3000u, 131072u}) {
        EXPECT_THROW(testbed::ClusterAllocation({.clusterBytes = bytes, .freeClusters = 0}), std::invalid_argument)
            << bytes;
    }
}

TEST(MemoryVolume, RefusesANameLongerThanNtTakes)
{
    testbed::MemoryVolume volume;
    VolumeNode root = Found(volume, {}), made;
    EXPECT_EQ(volume.CreateFile(root, std::u16string(256, u'文'), made), status::ObjectNameInvalid);
    EXPECT_EQ(volume.CreateFile(root, std::u16string(255, u'文'), made), status::Success);
    EXPECT_EQ(volume.CreateFile(root, std::u16string(1, char16_t(0xD800)), made), status::ObjectNameInvalid);
}

TEST(MemoryVolume, TakesNoNodeOfAnotherVolume)
{
    testbed::MemoryVolume one, other;
    LaidOnHost host({});
    VolumeNode made;
    EXPECT_THROW(one.CreateFile(Found(host.volume(), {}), u"x", made), std::logic_error);
    EXPECT_FALSE(one.SameObject(Found(one, {}), Found(other, {})));
}

}  // namespace
}  // namespace quarnhold::tests
