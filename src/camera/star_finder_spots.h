// The star finder's flood keeps a value for each pixel it reaches: in
// blocks made where it goes (Tiled), or, on a field crowded enough that it
// reaches most pixels, in a whole frame (Flat). For the flood's file only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

#include "camera/star_finder_stages.h"

namespace kv::star_stages {

// A value for each pixel the flood reaches, kept in blocks of 16x16 made
// only where it goes: a whole frame of them would cost more to clear than a
// sparse field takes to search, and neighbours stay close in memory. The
// blocks are made a few hundred at a time and never move, so that a
// crowded field's millions of pixels are not copied as the store grows.
template <typename T>
class Tiled {
public:
    static constexpr int kBlock = 16;  // also the step from one row of a block to the next

    Tiled(int width, int height, T blank)
        : across_((width + kBlock - 1) / kBlock), blank_(blank),
          block_(static_cast<std::size_t>(across_ * ((height + kBlock - 1) / kBlock)), nullptr) {}

    [[gnu::always_inline]] const T& Get(int x, int y) const {
        const T* b = block_[BlockOf(x, y)];
        return b == nullptr ? blank_ : b[Offset(x, y)];
    }
    [[gnu::always_inline]] T& Ref(int x, int y) {
        T*& b = block_[BlockOf(x, y)];
        if (b == nullptr) b = NewBlock();
        return b[Offset(x, y)];
    }
    // The value at (x, y) when its 3x3 neighbourhood lies in one block that
    // is there (its neighbours kBlock apart from row to row), else null:
    // most of a flood's pixels are looked up with one lookup for nine.
    [[gnu::always_inline]] T* Inside(int x, int y) {
        if (!Interior(x, y)) return nullptr;
        T* b = block_[BlockOf(x, y)];
        return b == nullptr ? nullptr : b + Offset(x, y);
    }
    static int Stride() { return kBlock; }
    // (x, y) and its eight neighbours lie in one block.
    [[gnu::always_inline]] static bool Interior(int x, int y) {
        const unsigned ix = static_cast<unsigned>(x) % kBlock, iy = static_cast<unsigned>(y) % kBlock;
        return ix - 1 < kBlock - 2 && iy - 1 < kBlock - 2;
    }

    // Calls visit(x, y, value) for every pixel of the blocks there are, in
    // the order the pixels lie in the frame, until it returns false; false
    // then.
    template <typename Visit>
    bool InFrameOrder(int width, int height, Visit visit) {
        for (int by = 0; by * kBlock < height; ++by)
            for (int y = by * kBlock; y < std::min(height, (by + 1) * kBlock); ++y)
                for (int bx = 0; bx < across_; ++bx) {
                    T* const b = block_[static_cast<std::size_t>(by * across_ + bx)];
                    if (b == nullptr) continue;
                    T* const row = b + static_cast<std::size_t>(y % kBlock) * kBlock;
                    const int x0 = bx * kBlock, n = std::min(kBlock, width - x0);
                    for (int i = 0; i < n; ++i)
                        if (!visit(x0 + i, y, row[i])) return false;
                }
        return true;
    }

private:
    static constexpr std::size_t kArea = kBlock * kBlock;
    static constexpr std::size_t kBlocksPerChunk = 256;
    T* NewBlock() {
        if (used_ == kBlocksPerChunk || chunks_.empty()) {
            chunks_.push_back(std::make_unique_for_overwrite<T[]>(kArea * kBlocksPerChunk));
            used_ = 0;
        }
        T* b = chunks_.back().get() + kArea * used_++;
        std::fill(b, b + kArea, blank_);
        return b;
    }
    // The coordinates are never negative: shifts and masks, not divisions.
    [[gnu::always_inline]] std::size_t BlockOf(int x, int y) const {
        return static_cast<std::size_t>(static_cast<unsigned>(y) / kBlock * static_cast<unsigned>(across_) +
                                        static_cast<unsigned>(x) / kBlock);
    }
    [[gnu::always_inline]] static std::size_t Offset(int x, int y) {
        return static_cast<std::size_t>(static_cast<unsigned>(y) % kBlock * kBlock + static_cast<unsigned>(x) % kBlock);
    }
    int across_;
    T blank_;
    std::vector<T*> block_;
    std::vector<std::unique_ptr<T[]>> chunks_;
    std::size_t used_ = 0;
};

// The same for a whole frame, row after row: on a crowded field, where the
// flood reaches most pixels, plain rows cost less than blocks to look up.
template <typename T>
class Flat {
public:
    // The cells are left as the system gives them: the one who made the
    // frame writes each before reading it, in one pass instead of two.
    Flat(int width, int height) : width_(width), height_(height) {
        cell_.reset(static_cast<T*>(HugeAlloc(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * sizeof(T))));
    }

    const T& Get(int x, int y) const { return cell_[Index(x, y)]; }
    T& Ref(int x, int y) { return cell_[Index(x, y)]; }
    T* Inside(int x, int y) { return Interior(x, y) ? &cell_[Index(x, y)] : nullptr; }
    bool Interior(int x, int y) const { return x > 0 && y > 0 && x + 1 < width_ && y + 1 < height_; }
    int Stride() const { return width_; }
    // False when there was no memory for the frame.
    bool Made() const { return cell_ != nullptr; }

    template <typename Visit>
    bool InFrameOrder(int, int, Visit visit) {
        for (int y = 0; y < height_; ++y) {
            T* const row = &cell_[Index(0, y)];
            for (int x = 0; x < width_; ++x)
                if (!visit(x, y, row[x])) return false;
        }
        return true;
    }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::size_t Index(int x, int y) const { return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x); }
    int width_, height_;
    std::unique_ptr<T[], Free> cell_;
};

}  // namespace kv::star_stages
