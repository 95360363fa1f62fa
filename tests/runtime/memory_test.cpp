// The scratch-memory built-ins: put_read, put_write, put_gamma and put_sort on a put array
// of eight cells, and grid_array, the three-dimensional array that outlives runs.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "runtime/runtime_state.h"

namespace tessellon {
namespace {

using tessellon::testing::kUntouched;
using tessellon::testing::RowName;

using Cells = std::array<i32, 8>;

constexpr i32 kFill = -5;  // what the cells hold before a case runs
constexpr Cells kFilled{kFill, kFill, kFill, kFill, kFill, kFill, kFill, kFill};

void PrintCells(const Cells& cells, std::ostream* os) {
    *os << "{";
    for (i32 v : cells) *os << " " << v;
    *os << " }";
}

// Swaps in a put array of eight cells, and frees any grid array before and after.
class MemoryBuiltinsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_array_ = Execution().put_array;
        saved_count_ = Execution().put_cell_count;
        Execution().put_array = nullptr;  // keep the saved array from being freed
        alloc_put_array(8);
        ASSERT_EQ(Execution().put_cell_count, 8);
        grid_array(1, 0, 0, 0, 0);
    }
    void TearDown() override {
        grid_array(1, 0, 0, 0, 0);
        Platform().free_memory(Execution().put_array);
        Execution().put_array = saved_array_;
        Execution().put_cell_count = saved_count_;
    }

    void FillCells(const Cells& cells) { std::memcpy(Execution().put_array, cells.data(), sizeof cells); }
    Cells CellsNow() const {
        Cells cells;
        std::memcpy(cells.data(), Execution().put_array, sizeof cells);
        return cells;
    }

    tessellon::testing::SavedRuntimeState saved_;
    std::int32_t* saved_array_ = nullptr;
    std::int32_t saved_count_ = 0;
};

TEST_F(MemoryBuiltinsTest, PutReadAndWriteStayInsideTheCells) {
    struct Row {
        const char* name;
        bool write;
        i32 v, i;
        i32 expected, status;
    };
    const Row rows[] = {
        {"write first cell", true, 11, 0, 11, kUntouched},
        {"write last cell", true, -12, 7, -12, kUntouched},
        {"write at the count refused", true, 5, 8, 0, 1},
        {"write at -1 refused", true, 5, -1, 0, 1},
        {"write far below refused", true, 5, INT32_MIN, 0, 1},
        {"read first cell", false, 0, 0, 11, kUntouched},
        {"read last cell", false, 0, 7, -12, kUntouched},
        {"read untouched cell is zero", false, 0, 3, 0, kUntouched},
        {"read at the count refused", false, 0, 8, 0, 1},
        {"read at -1 refused", false, 0, -1, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Execution().context.status = kUntouched;
        EXPECT_EQ(row.write ? put_write(row.v, row.i) : put_read(row.i), row.expected);
        EXPECT_EQ(Execution().context.status, row.status);
    }
    EXPECT_EQ(CellsNow(), (Cells{11, 0, 0, 0, 0, 0, 0, -12}));
}

// After a failed allocation the put array has no cells: every access is refused.
TEST_F(MemoryBuiltinsTest, NoCellsAfterAFailedAllocation) {
    Platform().free_memory(Execution().put_array);
    Execution().put_array = nullptr;
    Execution().put_cell_count = 0;
    Execution().phase = kPhaseSetup;
    struct Row {
        const char* name;
        i32 (*call)();
        i32 expected, status;
    };
    const Row rows[] = {
        {"put_read", [] { return put_read(0); }, 0, 1},
        {"put_write", [] { return put_write(3, 0); }, 0, 1},
        {"put_sort", [] { return put_sort(0, 1); }, 1, 1},
        {"put_gamma writes nothing", [] { return put_gamma(100, 0, 5); }, 0, kUntouched},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Execution().context.status = kUntouched;
        EXPECT_EQ(row.call(), row.expected);
        EXPECT_EQ(Execution().context.status, row.status);
    }
}

// --- put_gamma ---

struct GammaCase {
    const char* name;
    i32 phase;
    i32 g, start, n;
    Cells cells;  // afterwards
    i32 result;
    i32 status;
};

void PrintTo(const GammaCase& c, std::ostream* os) {
    *os << c.name << ": put_gamma(" << c.g << ", " << c.start << ", " << c.n << ") in phase " << c.phase << " -> "
        << c.result << ", status " << c.status << ", cells ";
    PrintCells(c.cells, os);
}

class PutGammaTest : public MemoryBuiltinsTest, public ::testing::WithParamInterface<GammaCase> {};

TEST_P(PutGammaTest, FillsCellsWithAToneCurve) {
    const GammaCase& c = GetParam();
    FillCells(kFilled);
    Execution().phase = c.phase;
    Execution().context.status = kUntouched;
    EXPECT_EQ(put_gamma(c.g, c.start, c.n), c.result);
    EXPECT_EQ(Execution().context.status, c.status);
    EXPECT_EQ(CellsNow(), c.cells);
}

// With n = 5 the positions k / 4 are exact: 0, 0.25, 0.5, 0.75, 1.
constexpr i32 F = kFill;
INSTANTIATE_TEST_SUITE_P(
    Table, PutGammaTest,
    ::testing::Values(
        GammaCase{"StraightRampForG100", 0, 100, 0, 5, {0, 63, 127, 191, 255, F, F, F}, 0, kUntouched},
        // exponent 0.5: 255 * 0.5, 255 * 0.7071, 255 * 0.8660
        GammaCase{"G200AboveTheRamp", 0, 200, 0, 5, {0, 127, 180, 220, 255, F, F, F}, 0, kUntouched},
        // exponent 2: 255 * 0.0625, 255 * 0.25, 255 * 0.5625
        GammaCase{"G50BelowTheRamp", 0, 50, 0, 5, {0, 15, 63, 143, 255, F, F, F}, 0, kUntouched},
        GammaCase{"G1", 0, 1, 0, 5, {0, 0, 0, 0, 255, F, F, F}, 0, kUntouched},
        GammaCase{"HugeG", 0, 100000, 0, 5, {0, 254, 254, 254, 255, F, F, F}, 0, kUntouched},
        GammaCase{"TwoCells", 0, 30, 0, 2, {0, 255, F, F, F, F, F, F}, 0, kUntouched},
        GammaCase{"BetweenPassesAllowed", 3, 100, 0, 5, {0, 63, 127, 191, 255, F, F, F}, 0, kUntouched},
        GammaCase{"StartOffset", 0, 100, 3, 5, {F, F, F, 0, 63, 127, 191, 255}, 0, kUntouched},
        GammaCase{"StopsAtTheCellCount", 0, 100, 5, 5, {F, F, F, F, F, 0, 63, 127}, 0, kUntouched},
        GammaCase{"NegativeStartSkips", 0, 100, -2, 5, {127, 191, 255, F, F, F, F, F}, 0, kUntouched},
        GammaCase{"FarNegativeStartSkipsAll", 0, 100, INT32_MIN, 5, kFilled, 0, kUntouched},
        GammaCase{"FirstPassRefused", 1, 100, 0, 5, kFilled, 1, 1},
        GammaCase{"PixelPassRefused", 2, 100, 0, 5, kFilled, 1, 1},
        GammaCase{"PixelPassRefusedBeforeTheCount", 2, 100, 0, 1, kFilled, 1, 1},
        GammaCase{"OneCellRefused", 0, 100, 0, 1, kFilled, 1, 2},
        GammaCase{"NoCellsRefused", 3, 100, 0, 0, kFilled, 1, 2},
        GammaCase{"ZeroGRefused", 0, 0, 0, 5, kFilled, 1, 2},
        GammaCase{"NegativeGRefused", 0, -100, 0, 5, kFilled, 1, 2}),
    RowName<GammaCase>);

// --- put_sort ---

struct SortCase {
    const char* name;
    i32 start, n;
    Cells cells;  // afterwards
    i32 result;
    i32 status;
};

void PrintTo(const SortCase& c, std::ostream* os) {
    *os << c.name << ": put_sort(" << c.start << ", " << c.n << ") -> " << c.result << ", status " << c.status
        << ", cells ";
    PrintCells(c.cells, os);
}

class PutSortTest : public MemoryBuiltinsTest, public ::testing::WithParamInterface<SortCase> {};

constexpr i32 kMin = INT32_MIN, kMax = INT32_MAX;
constexpr Cells kUnsorted{5, -3, kMax, kMin, 0, 7, -3, 1};

TEST_P(PutSortTest, SortsAWindowAscendingSigned) {
    const SortCase& c = GetParam();
    FillCells(kUnsorted);
    Execution().context.status = kUntouched;
    EXPECT_EQ(put_sort(c.start, c.n), c.result);
    EXPECT_EQ(Execution().context.status, c.status);
    EXPECT_EQ(CellsNow(), c.cells);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PutSortTest,
    ::testing::Values(SortCase{"WholeArray", 0, 8, {kMin, -3, -3, 0, 1, 5, 7, kMax}, 0, kUntouched},
                      SortCase{"Window", 2, 3, {5, -3, kMin, 0, kMax, 7, -3, 1}, 0, kUntouched},
                      SortCase{"WindowToTheEnd", 5, 3, {5, -3, kMax, kMin, 0, -3, 1, 7}, 0, kUntouched},
                      SortCase{"LastCellAlone", 7, 1, kUnsorted, 0, kUntouched},
                      SortCase{"NegativeStartRefused", -1, 2, kUnsorted, 1, 1},
                      SortCase{"ZeroCountRefused", 0, 0, kUnsorted, 1, 1},
                      SortCase{"NegativeCountRefused", 2, -1, kUnsorted, 1, 1},
                      SortCase{"PastTheEndRefused", 4, 5, kUnsorted, 1, 1},
                      SortCase{"StartAtTheCountRefused", 8, 1, kUnsorted, 1, 1},
                      SortCase{"EndBeyond32BitsRefused", 1, kMax, kUnsorted, 1, 1}),
    RowName<SortCase>);

// --- grid_array: each case is a script of calls from a freed array ---

struct GridCall {
    i32 op, x, y, z, v;
    i32 result;
    i32 status;
};

struct GridCase {
    const char* name;
    std::vector<GridCall> calls;
};

void PrintTo(const GridCase& c, std::ostream* os) { *os << c.name << " (" << c.calls.size() << " calls)"; }

class GridArrayTest : public MemoryBuiltinsTest, public ::testing::WithParamInterface<GridCase> {};

TEST_P(GridArrayTest, RunsTheScript) {
    int step = 0;
    for (const GridCall& call : GetParam().calls) {
        SCOPED_TRACE(::testing::Message() << "call " << ++step << ": grid_array(" << call.op << ", " << call.x << ", "
                                          << call.y << ", " << call.z << ", " << call.v << ")");
        Execution().context.status = kUntouched;
        EXPECT_EQ(grid_array(call.op, call.x, call.y, call.z, call.v), call.result);
        EXPECT_EQ(Execution().context.status, call.status);
    }
}

constexpr i32 U = kUntouched;
INSTANTIATE_TEST_SUITE_P(
    Table, GridArrayTest,
    ::testing::Values(
        GridCase{"TwoByteElementsClampTo16Bits",
                 {{11, 4, 4, 1, 0, 0, U},
                  {2, 1, 2, 0, 40000, 40000, U},
                  {3, 1, 2, 0, 0, 32767, U},
                  {2, 1, 2, 0, -40000, -40000, U},
                  {3, 1, 2, 0, 0, -32768, U},
                  {2, 3, 3, 0, -5, -5, U},
                  {3, 3, 3, 0, 0, -5, U}}},
        GridCase{"OneByteElementsClampAndReadUnsigned",
                 {{10, 2, 2, 2, 0, 0, U},
                  {2, 1, 1, 1, 300, 300, U},
                  {3, 1, 1, 1, 0, 255, U},
                  {2, 1, 1, 1, -1, -1, U},
                  {3, 1, 1, 1, 0, 0, U},
                  {2, 1, 1, 1, 200, 200, U},
                  {3, 1, 1, 1, 0, 200, U},
                  {4, 1, 1, 1, 100, 300, U},
                  {3, 1, 1, 1, 0, 255, U}}},
        GridCase{"FourByteElementsWrap",
                 {{12, 1, 1, 1, 0, 0, U},
                  {2, 0, 0, 0, kMax, kMax, U},
                  {4, 0, 0, 0, 1, kMin, U},
                  {3, 0, 0, 0, 0, kMin, U},
                  {2, 0, 0, 0, 65536, 65536, U},
                  {5, 0, 0, 0, 65536, 0, U},
                  {3, 0, 0, 0, 0, 0, U},
                  {2, 0, 0, 0, -3, -3, U},
                  {5, 0, 0, 0, -5, 15, U}}},
        GridCase{"MaxAndMin",
                 {{12, 2, 2, 2, 0, 0, U},
                  {2, 1, 1, 1, 5, 5, U},
                  {6, 1, 1, 1, 3, 5, U},
                  {6, 1, 1, 1, 9, 9, U},
                  {7, 1, 1, 1, -2, -2, U},
                  {7, 1, 1, 1, 4, -2, U},
                  {3, 1, 1, 1, 0, -2, U}}},
        GridCase{"CombinedValueAnsweredBeforeClamping",
                 {{11, 1, 1, 1, 0, 0, U},
                  {2, 0, 0, 0, 32000, 32000, U},
                  {4, 0, 0, 0, 1000, 33000, U},
                  {3, 0, 0, 0, 0, 32767, U},
                  {5, 0, 0, 0, -2, -65534, U},
                  {3, 0, 0, 0, 0, -32768, U},
                  {6, 0, 0, 0, 40000, 40000, U},
                  {3, 0, 0, 0, 0, 32767, U}}},
        GridCase{"NoArrayRefused",
                 {{3, 0, 0, 0, 0, 0, 2},
                  {2, 0, 0, 0, 5, 0, 2},
                  {4, 0, 0, 0, 5, 0, 2},
                  {5, 0, 0, 0, 5, 0, 2},
                  {6, 0, 0, 0, 5, 0, 2},
                  {7, 0, 0, 0, 5, 0, 2},
                  {1, 0, 0, 0, 0, 0, U}}},
        GridCase{"FreedArrayIsGone",
                 {{12, 2, 2, 2, 0, 0, U},
                  {2, 1, 1, 1, 5, 5, U},
                  {1, 0, 0, 0, 0, 0, U},
                  {3, 1, 1, 1, 0, 0, 2},
                  {1, 0, 0, 0, 0, 0, U}}},
        GridCase{"IndexOutsideAnExtentRefused",
                 {{12, 2, 3, 4, 0, 0, U},
                  {2, 1, 2, 3, 9, 9, U},
                  {3, 2, 0, 0, 0, 0, 1},
                  {3, 0, 3, 0, 0, 0, 1},
                  {3, 0, 0, 4, 0, 0, 1},
                  {3, -1, 0, 0, 0, 0, 1},
                  {3, 0, -1, 0, 0, 0, 1},
                  {3, 0, 0, -1, 0, 0, 1},
                  {2, 2, 0, 0, 5, 0, 1},
                  {4, 0, 3, 0, 5, 0, 1},
                  {3, 1, 2, 3, 0, 9, U}}},
        GridCase{"OpsEightNineAndUnknownDoNothing",
                 {{8, 0, 0, 0, 9, 0, U},
                  {12, 1, 1, 1, 0, 0, U},
                  {2, 0, 0, 0, 5, 5, U},
                  {8, 0, 0, 0, 9, 0, U},
                  {9, 0, 0, 0, 9, 0, U},
                  {0, 0, 0, 0, 9, 0, U},
                  {13, 0, 0, 0, 9, 0, U},
                  {-1, 0, 0, 0, 9, 0, U},
                  {3, 0, 0, 0, 0, 5, U}}},
        GridCase{"NewAllocationReplacesTheOld",
                 {{12, 2, 2, 2, 0, 0, U},
                  {2, 1, 1, 1, 5000, 5000, U},
                  {10, 2, 2, 2, 0, 0, U},
                  {3, 1, 1, 1, 0, 0, U},
                  {2, 1, 1, 1, 5000, 5000, U},
                  {3, 1, 1, 1, 0, 255, U}}},
        GridCase{"ByteCountBeyond32BitsRefused",
                 {{12, 1, 1, 1, 0, 0, U},
                  {10, 65536, 65536, 1, 0, 1, 1},
                  {3, 0, 0, 0, 0, 0, 2},
                  {12, 32768, 32768, 1, 0, 1, 1},
                  {3, 0, 0, 0, 0, 0, 2}}},
        GridCase{"EmptyExtentsLeaveNothingAddressable",
                 {{12, 0, 5, 5, 0, 0, U},
                  {3, 0, 0, 0, 0, 0, 1},
                  {11, -2, -3, 1, 0, 0, U},
                  {3, 0, 0, 0, 0, 0, 1}}}),
    RowName<GridCase>);

// Records the grid's heap blocks through the platform table, to see the element layout
// and the sizes asked for; restores the table afterwards.
class RecordingHeap {
public:
    RecordingHeap() : saved_(Platform()) {
        current = this;
        Platform().alloc_zeroed = [](std::size_t bytes) -> void* {
            current->sizes.push_back(bytes);
            if (current->fail) return nullptr;
            current->last = NativePlatform().alloc_zeroed(bytes);
            return current->last;
        };
        Platform().free_memory = [](void* block) {
            if (block != nullptr) current->freed.push_back(block);
            NativePlatform().free_memory(block);
        };
    }
    ~RecordingHeap() {
        Platform() = saved_;
        current = nullptr;
    }
    RecordingHeap(const RecordingHeap&) = delete;
    RecordingHeap& operator=(const RecordingHeap&) = delete;

    std::vector<std::size_t> sizes;
    std::vector<void*> freed;
    void* last = nullptr;
    bool fail = false;

    static RecordingHeap* current;

private:
    PlatformApi saved_;
};
RecordingHeap* RecordingHeap::current = nullptr;

// Element (x, y, z) lies at element index (x*Y + y)*Z + z; with Y = 3 and Z = 4:
// (1, 0, 0) at 12, (0, 1, 0) at 4, (0, 0, 1) at 1, (1, 2, 3) at 23.
TEST_F(MemoryBuiltinsTest, GridElementsLieInXYZOrder) {
    struct Row {
        const char* name;
        i32 op;  // allocation op
        std::size_t bytes;
        i32 x, y, z, v;
        std::size_t offset;  // of the element's first byte
        std::vector<std::uint8_t> stored;
    };
    const Row rows[] = {
        {"1 byte, x", 10, 24, 1, 0, 0, 0x5A, 12, {0x5A}},
        {"1 byte, y", 10, 24, 0, 1, 0, 0x5A, 4, {0x5A}},
        {"1 byte, z", 10, 24, 0, 0, 1, 0x5A, 1, {0x5A}},
        {"1 byte, last", 10, 24, 1, 2, 3, 0x5A, 23, {0x5A}},
        {"2 bytes, last", 11, 48, 1, 2, 3, -2, 46, {0xFE, 0xFF}},
        {"4 bytes, y", 12, 96, 0, 1, 0, 0x01020304, 16, {0x04, 0x03, 0x02, 0x01}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RecordingHeap heap;
        ASSERT_EQ(grid_array(row.op, 2, 3, 4, 0), 0);
        ASSERT_EQ(heap.sizes, std::vector<std::size_t>{row.bytes});
        EXPECT_EQ(grid_array(2, row.x, row.y, row.z, row.v), row.v);
        const auto* block = static_cast<const std::uint8_t*>(heap.last);
        std::vector<std::uint8_t> expected(row.bytes, 0);
        std::memcpy(expected.data() + row.offset, row.stored.data(), row.stored.size());
        EXPECT_EQ(std::vector<std::uint8_t>(block, block + row.bytes), expected);
        grid_array(1, 0, 0, 0, 0);
        EXPECT_EQ(heap.freed, std::vector<void*>{heap.last});
    }
}

TEST_F(MemoryBuiltinsTest, GridAllocationFreesTheOldBlock) {
    RecordingHeap heap;
    ASSERT_EQ(grid_array(12, 2, 2, 2, 0), 0);
    void* const first = heap.last;
    ASSERT_EQ(grid_array(11, 3, 3, 3, 0), 0);
    EXPECT_EQ(heap.freed, std::vector<void*>{first});
    EXPECT_EQ(heap.sizes, (std::vector<std::size_t>{32, 54}));
}

TEST_F(MemoryBuiltinsTest, GridAllocationFailureLeavesNoArray) {
    struct Row {
        const char* name;
        bool heap_fails;
        i32 op, x, y, z;
        std::vector<std::size_t> sizes_asked;
    };
    const Row rows[] = {
        {"the heap has no memory", true, 12, 10, 10, 10, {4000}},
        // 65536 * 65536 bytes wraps to 0 in 32 bits: refused without asking the heap
        // for a block that could not hold the elements.
        {"byte count beyond 32 bits", false, 10, 65536, 65536, 1, {}},
        {"byte count beyond 32 bits, 4-byte elements", false, 12, 1024, 1024, 1024, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RecordingHeap heap;
        heap.fail = row.heap_fails;
        Execution().context.status = kUntouched;
        EXPECT_EQ(grid_array(row.op, row.x, row.y, row.z, 0), 1);
        EXPECT_EQ(Execution().context.status, 1);
        EXPECT_EQ(heap.sizes, row.sizes_asked);
        Execution().context.status = kUntouched;
        EXPECT_EQ(grid_array(3, 0, 0, 0, 0), 0);
        EXPECT_EQ(Execution().context.status, 2);
        EXPECT_FALSE(grid_array_shape().allocated);
    }
}

}  // namespace
}  // namespace tessellon
