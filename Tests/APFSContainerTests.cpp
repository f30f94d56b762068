// The APFS container layer: checksums, the leaf test, superblock choice, B-tree
// nodes and object maps, on blocks of a real container and on built ones.
#include <gtest/gtest.h>

#include "APFSTestSupport.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

const char* const badSuperblock = "Containerens superblok har forkert kontrolsum.";

Bytes singleBlock(uint64_t number) {
    auto src = SourceOpener::openImage(fixtureImage("apfs_single"));
    return src->read(number * 4096, 4096);
}

}  // namespace

TEST(APFSChecksum, RealBlocksPassAndAnyChangeFails) {
    Bytes superblock = singleBlock(0);
    EXPECT_TRUE(APFSParser::checksumOK(superblock));
    Bytes changed = superblock;
    changed[2000] ^= 1;
    EXPECT_FALSE(APFSParser::checksumOK(changed));
    seal(changed);
    EXPECT_TRUE(APFSParser::checksumOK(changed));

    EXPECT_FALSE(APFSParser::checksumOK(ByteSpan(superblock).first(63)));
    // A stored 0 is never a valid checksum, whatever the sum would be.
    Bytes zeroSum(4096, 0);
    EXPECT_FALSE(APFSParser::checksumOK(zeroSum));

    // The buffer form tests a range and refuses one that does not lie inside.
    Bytes two(8192, 0);
    std::copy(superblock.begin(), superblock.end(), two.begin() + 4096);
    EXPECT_TRUE(APFSParser::checksumOK(two, 4096, 4096));
    EXPECT_FALSE(APFSParser::checksumOK(two, 0, 4096));
    EXPECT_FALSE(APFSParser::checksumOK(two, 4097, 4096));
    EXPECT_FALSE(APFSParser::checksumOK(two, -1, 4096));
}

TEST(APFSChecksum, FletcherOfShortBlocksAndTails) {
    // Fewer than 12 bytes hold no word: both sums stay 0.
    EXPECT_EQ(APFSParser::fletcher64(Bytes(11, 0xFF)), 0xFFFFFFFFFFFFFFFFULL);
    // A tail shorter than a word is ignored.
    Bytes a(4096, 0x11), b = a;
    b.push_back(0x77);
    EXPECT_EQ(APFSParser::fletcher64(a), APFSParser::fletcher64(b));
    // Large sums reduce the same way word by word as in runs of words.
    Bytes big(65536, 0xFF);
    uint64_t s1 = 0, s2 = 0;
    for (size_t i = 8; i + 4 <= big.size(); i += 4) {
        s1 = (s1 + 0xFFFFFFFFULL) % 0xFFFFFFFFULL;
        s2 = (s2 + s1) % 0xFFFFFFFFULL;
    }
    uint64_t c1 = 0xFFFFFFFFULL - ((s1 + s2) % 0xFFFFFFFFULL);
    uint64_t c2 = 0xFFFFFFFFULL - ((s1 + c1) % 0xFFFFFFFFULL);
    EXPECT_EQ(APFSParser::fletcher64(big), (c2 << 32) | c1);
}

TEST(APFSLeafTest, AcceptsOnlyChecksummedFileSystemTreeLeaves) {
    // Block 3392 of the single-volume container is a leaf of its file-system tree.
    Bytes leaf = singleBlock(3392);
    Bytes buffer(4096 * 3, 0);
    std::copy(leaf.begin(), leaf.end(), buffer.begin() + 4096);
    EXPECT_TRUE(APFSParser::looksLikeFSTreeLeaf(buffer, 4096, 4096));
    EXPECT_FALSE(APFSParser::looksLikeFSTreeLeaf(buffer, 8192 + 1, 4096));  // runs past the buffer
    EXPECT_FALSE(APFSParser::looksLikeFSTreeLeaf(buffer, -4096, 4096));

    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
        int width;
        bool reseal;
    };
    for (const Case& c : std::vector<Case>{{"level 1", 34, 1, 2, true},
                                           {"subtype 15", 28, 15, 4, true},
                                           {"object type 1", 24, 1, 4, true},
                                           {"one byte after the checksum", 9, 0x5A, 1, false}}) {
        Bytes b = leaf;
        if (c.width == 1) b[c.at] ^= static_cast<uint8_t>(c.value);
        if (c.width == 2) put16(b, c.at, static_cast<uint16_t>(c.value));
        if (c.width == 4) put32(b, c.at, c.value);
        if (c.reseal) seal(b);
        EXPECT_FALSE(APFSParser::looksLikeFSTreeLeaf(b, 0, 4096)) << c.what;
    }
    // A root leaf (object type 2) counts as well.
    Bytes root = leaf;
    put32(root, 24, 2);
    seal(root);
    EXPECT_TRUE(APFSParser::looksLikeFSTreeLeaf(root, 0, 4096));
}

TEST(APFSContainerOpen, BlockSizeMustBeAPowerOfTwoFrom4096To65536) {
    for (auto [size, accepted] : std::vector<std::pair<uint32_t, bool>>{
             {2048, false}, {4097, false}, {131072, false}, {4096, true}, {65536, true}}) {
        Bytes image(65536 * 2, 0);
        putText(image, 32, "NXSB");
        put32(image, 36, size);
        put64(image, 16, 3);
        seal(image, 0, std::min<size_t>(size, image.size()));
        auto src = memorySource(image);
        auto container = APFSContainer::open(*src, 0);
        EXPECT_EQ(container != nullptr, accepted) << size;
        if (container) {
            EXPECT_EQ(container->blockSize, size);
            EXPECT_TRUE(container->notes.empty());
            EXPECT_EQ(container->xid, 3u);
        }
    }
    auto src = memorySource(Bytes(8192, 0));
    EXPECT_EQ(APFSContainer::open(*src, 0), nullptr);
    EXPECT_EQ(APFSContainer::open(*src, 1ULL << 40), nullptr);  // past the end reads zeros
}

TEST(APFSContainerOpen, NewestValidCheckpointCopyWinsTiesKeepTheEarlier) {
    // Block 0 at xid 10; the checkpoint area holds blocks 40 to 43.
    auto build = [](uint32_t descriptorBlocks, bool validBlock0, std::vector<uint64_t> copyXIDs) {
        MiniAPFS mini(48);
        put32(mini.blocks[0], 104, descriptorBlocks);
        put64(mini.blocks[0], 112, 40);
        for (size_t i = 0; i < copyXIDs.size(); ++i) {
            Bytes copy = mini.blocks[0];
            put64(copy, 16, copyXIDs[i]);
            put64(copy, 8, 100 + i);  // tells the copies apart
            seal(copy);
            mini.blocks[40 + i] = copy;
        }
        // The last copy has the highest xid but a broken checksum.
        mini.blocks[43] = mini.blocks[0];
        put64(mini.blocks[43], 16, 99);
        Bytes image = mini.image();
        if (!validBlock0) image[3000] ^= 1;
        return image;
    };
    struct Case {
        const char* what;
        uint32_t n;
        bool valid0;
        std::vector<uint64_t> xids;
        uint64_t wantXID;
        uint64_t wantOID;  // object id of the chosen block (0: block 0)
        bool note;
    };
    for (const Case& c : std::vector<Case>{
             {"newest copy, tie keeps the lower block", 4, true, {12, 12, 11}, 12, 100, false},
             {"equal id does not replace block 0", 4, true, {10, 10, 10}, 10, 0, false},
             {"area not contiguous", 0x80000004, true, {12, 12, 11}, 10, 0, false},
             {"empty area", 0, true, {12}, 10, 0, false},
             {"10001 blocks skip the search", 10001, true, {12}, 10, 0, false},
             {"10000 blocks are searched up to the end of the source", 10000, true, {11, 12}, 12, 101, false},
             {"damaged block 0 falls back to a copy", 4, false, {9, 8}, 9, 100, true},
         }) {
        auto src = memorySource(build(c.n, c.valid0, c.xids));
        auto container = APFSContainer::open(*src, 0);
        ASSERT_TRUE(container) << c.what;
        EXPECT_EQ(container->xid, c.wantXID) << c.what;
        EXPECT_EQ(u64le(container->sb, 8), c.wantOID) << c.what;
        EXPECT_EQ(container->notes, c.note ? std::vector<std::string>{badSuperblock} : std::vector<std::string>{})
            << c.what;
    }

    // No valid superblock anywhere: block 0 stays, every transaction passes.
    auto src = memorySource(build(0, false, {}));
    auto container = APFSContainer::open(*src, 0);
    ASSERT_TRUE(container);
    EXPECT_EQ(container->xid, UINT64_MAX);
    EXPECT_EQ(container->notes, std::vector<std::string>{badSuperblock});
    EXPECT_EQ(container->volumes("x", nullptr).size(), 1u);
}

TEST(APFSNode, DecodesVariableAndFixedEntriesAndPlacesRootValues) {
    MiniAPFS mini;
    auto src = memorySource(mini.image());
    auto container = APFSContainer::open(*src, 0);
    ASSERT_TRUE(container);

    std::vector<Record> records{dirRecord(2, "a", 16, 4), extentRecord(16, 0, 4096, 7)};
    for (uint16_t flags : {uint16_t(2), uint16_t(3)}) {
        auto node = container->parseNode(makeNode(records, flags, 0, 5), 16, 16);
        ASSERT_TRUE(node);
        EXPECT_EQ(node->level, 0);
        ASSERT_EQ(node->records.size(), 2u);
        EXPECT_EQ(node->records[0].key, records[0].key);
        EXPECT_EQ(node->records[1].value, records[1].value);
    }
    // The same value offsets read 40 bytes further from the end in a root node.
    Bytes child = makeNode(records, 2, 0, 5);
    put16(child, 32, 3);
    seal(child);
    auto asRoot = container->parseNode(child, 16, 16);
    ASSERT_TRUE(asRoot);
    EXPECT_NE(asRoot->records[1].value, records[1].value);
    EXPECT_EQ(asRoot->records[0].value, Bytes(child.begin() + 4096 - 40 - 18, child.begin() + 4096 - 40));

    // Fixed-size entries: keys and leaf values of the given lengths, index values of 8 bytes.
    auto leaf = container->parseNode(makeNode({omapRecord(7, 1, 9), omapRecord(8, 1, 10)}, 7, 0, 5, 11), 16, 16);
    ASSERT_TRUE(leaf);
    ASSERT_EQ(leaf->records.size(), 2u);
    EXPECT_EQ(u64le(leaf->records[1].value, 8), 10u);
    Record index{omapRecord(7, 1, 0).key, le64(33)};
    auto inner = container->parseNode(makeNode({index}, 5, 1, 5, 11), 16, 16);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->level, 1);
    ASSERT_EQ(inner->records.size(), 1u);
    EXPECT_EQ(inner->records[0].value, le64(33));
}

TEST(APFSNode, RejectsBadNodesAndDropsBadEntries) {
    MiniAPFS mini;
    auto src = memorySource(mini.image());
    auto container = APFSContainer::open(*src, 0);
    ASSERT_TRUE(container);
    std::vector<Record> records{dirRecord(2, "a", 16, 4), dirRecord(2, "b", 17, 4), dirRecord(2, "c", 18, 4)};
    Bytes good = makeNode(records, 2, 0, 5);

    auto with = [&](auto change) {
        Bytes b = good;
        change(b);
        seal(b);
        return container->parseNode(b, 16, 16);
    };
    EXPECT_FALSE(with([](Bytes& b) { put32(b, 24, 1); }));           // not a node
    EXPECT_FALSE(with([](Bytes& b) { put32(b, 36, 10000); }));       // too many keys
    EXPECT_TRUE(with([](Bytes& b) { put32(b, 36, 9999); }));         // the most accepted
    EXPECT_FALSE(with([](Bytes& b) { put16(b, 42, 4096 - 56); }));   // keys would start at the end
    Bytes broken = good;
    broken[100] ^= 1;
    EXPECT_FALSE(container->parseNode(broken, 16, 16));

    // A free entry, a value past the block and an empty key are each passed over.
    auto node = with([](Bytes& b) {
        put16(b, 56 + 4, 0xFFFF);      // entry 0: free
        put16(b, 64 + 4, 5000);        // entry 1: value before the block's start
        put16(b, 72 + 2, 0);           // entry 2: key length 0
    });
    ASSERT_TRUE(node);
    EXPECT_TRUE(node->records.empty());
    auto tail = with([](Bytes& b) { put16(b, 72 + 6, 4000); });  // value runs past the end
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->records.size(), 2u);
}

TEST(APFSObjectMap, NewestMappingUpToTheLimitSkippingDeletedOnes) {
    MiniAPFS mini;
    // Block 20 an object map whose tree is an index (21) over two leaves (22, 23).
    mini.blocks[20] = MiniAPFS::omapObject(21);
    mini.blocks[21] = makeNode({{omapRecord(100, 0, 0).key, le64(22)}, {omapRecord(200, 0, 0).key, le64(23)}}, 5,
                               1, 10, 11, 2);
    mini.blocks[22] = makeNode({omapRecord(100, 5, 50), omapRecord(100, 7, 51), omapRecord(101, 11, 52),
                                omapRecord(102, 3, 53, 1)},
                               6, 0, 10, 11, 3);
    mini.blocks[23] = makeNode({omapRecord(200, 7, 60), omapRecord(200, 7, 61), omapRecord(100, 6, 54)}, 6, 0, 10,
                               11, 3);
    auto src = memorySource(mini.image());
    auto container = APFSContainer::open(*src, 0);
    ASSERT_TRUE(container);
    auto map = container->loadOMap(20, 10);
    EXPECT_EQ(map, (std::unordered_map<uint64_t, uint64_t>{{100, 51}, {200, 60}}));
    EXPECT_EQ(container->loadOMap(20, 11).at(101), 52u);
    EXPECT_TRUE(container->loadOMap(0, 10).empty());
    EXPECT_TRUE(container->loadOMap(64, 10).empty());  // past the container
}

TEST(APFSObjectMap, DepthIsBoundedAndCyclesAreReadOnce) {
    // A chain of index nodes from block 20 down; the leaf below the last one
    // maps object 100. Each index node also points back at the top.
    auto mapWithChain = [](int indexLevels) {
        MiniAPFS mini;
        mini.blocks[19] = MiniAPFS::omapObject(20);
        for (int i = 0; i < indexLevels; ++i) {
            uint64_t child = 21 + static_cast<uint64_t>(i);
            mini.blocks[static_cast<size_t>(20 + i)] = makeNode({{omapRecord(1, 0, 0).key, le64(20)}, {omapRecord(2, 0, 0).key, le64(child)}},
                                           i == 0 ? 5 : 4, static_cast<uint16_t>(indexLevels - i), 10, 11);
        }
        mini.blocks[static_cast<size_t>(20 + indexLevels)] = makeNode({omapRecord(100, 1, 77)}, 6, 0, 10, 11);
        auto src = memorySource(mini.image());
        auto container = APFSContainer::open(*src, 0);
        return container->loadOMap(19, 10);
    };
    EXPECT_EQ(mapWithChain(15).count(100), 1u);  // the leaf at depth 15
    EXPECT_EQ(mapWithChain(16).count(100), 0u);  // the leaf at depth 16 is not read
}
