// A two-dimensional array with the column index running fastest: element
// (x, y) lies at y * Cols() + x. This is the layout of the engine's program-wide
// arrays; DepthMap's bytes are handed to the blocks library in exactly it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/error.h"

namespace dioptrix {

template <class T>
class Plane {
 public:
  // Re-creates the array as cols x rows elements, all zero. Memory is reused.
  void Redim(int32_t cols, int32_t rows) {
    if (cols < 0 || rows < 0) RaiseSubscriptOutOfRange();
    cols_ = cols;
    rows_ = rows;
    data_.assign(static_cast<size_t>(cols) * static_cast<size_t>(rows), T{});
  }
  void Clear() {
    cols_ = rows_ = 0;
    data_.clear();
  }

  int32_t Cols() const { return cols_; }
  int32_t Rows() const { return rows_; }
  bool Empty() const { return data_.empty(); }
  size_t Size() const { return data_.size(); }
  T* Data() { return data_.data(); }
  const T* Data() const { return data_.data(); }
  T* Row(int32_t y) { return data_.data() + static_cast<size_t>(y) * cols_; }
  const T* Row(int32_t y) const { return data_.data() + static_cast<size_t>(y) * cols_; }

  // Unchecked element access; callers keep (x, y) inside the bounds.
  T& operator()(int32_t x, int32_t y) { return data_[static_cast<size_t>(y) * cols_ + x]; }
  const T& operator()(int32_t x, int32_t y) const {
    return data_[static_cast<size_t>(y) * cols_ + x];
  }
  // Checked access: raises "Subscript out of range" outside the bounds.
  T& At(int32_t x, int32_t y) {
    if (!Contains(x, y)) RaiseSubscriptOutOfRange();
    return (*this)(x, y);
  }
  const T& At(int32_t x, int32_t y) const {
    if (!Contains(x, y)) RaiseSubscriptOutOfRange();
    return (*this)(x, y);
  }
  bool Contains(int64_t x, int64_t y) const { return x >= 0 && y >= 0 && x < cols_ && y < rows_; }

 private:
  int32_t cols_ = 0;
  int32_t rows_ = 0;
  std::vector<T> data_;
};

}  // namespace dioptrix
