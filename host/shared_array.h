// An array with value semantics whose copies share their elements until one of them changes:
// the host's deep copy of a big mesh is then free, and only a copy that is written pays for its
// own elements. Reading never copies, whatever the constness of the array: element access is
// read-only, and every change goes through the few members that say so (push_back, resize,
// MutableData, ...), which copy the elements first when they are shared.
//
// Like std::vector, concurrent reads are safe; a change must not race with any other access to
// the same array or with taking a copy of it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace vorn {

template <class T>
class SharedArray {
 public:
  using value_type = T;
  using const_iterator = const T*;

  SharedArray() = default;
  SharedArray(const SharedArray&) = default;
  SharedArray& operator=(const SharedArray&) = default;
  SharedArray(SharedArray&& other) noexcept { Take(other); }
  SharedArray& operator=(SharedArray&& other) noexcept {
    if (this != &other) Take(other);
    return *this;
  }
  SharedArray(std::vector<T> elements) { Replace(std::move(elements)); }  // NOLINT: as a vector converts
  SharedArray(std::initializer_list<T> elements) { Replace(std::vector<T>(elements)); }
  SharedArray& operator=(std::vector<T> elements) {
    Replace(std::move(elements));
    return *this;
  }
  SharedArray& operator=(std::initializer_list<T> elements) {
    Replace(std::vector<T>(elements));
    return *this;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T* data() const { return data_; }
  const T& operator[](size_t i) const { return data_[i]; }
  const T& front() const { return data_[0]; }
  const T& back() const { return data_[size_ - 1]; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  // True when both hold the very same elements (a copy nobody has changed yet).
  bool SharesWith(const SharedArray& other) const { return elements_ && elements_ == other.elements_; }

  // The elements to write in place; their number stays as it is.
  T* MutableData() {
    Own();
    Refresh();
    return elements_ ? elements_->data() : nullptr;
  }
  void push_back(const T& value) {
    Own().push_back(value);
    Refresh();
  }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    T& added = Own().emplace_back(std::forward<Args>(args)...);
    Refresh();
    return added;
  }
  void resize(size_t count) {
    Own().resize(count);
    Refresh();
  }
  void assign(size_t count, const T& value) {
    // replacing every element: nothing of the shared ones needs copying
    if (!Unique()) elements_.reset();
    Own().assign(count, value);
    Refresh();
  }
  template <class It>
  void assign(It first, It last) {
    if (!Unique()) elements_.reset();
    Own().assign(first, last);
    Refresh();
  }
  void pop_back() {
    Own().pop_back();
    Refresh();
  }
  void reserve(size_t count) {
    Own().reserve(count);
    Refresh();
  }
  void clear() {
    elements_.reset();
    Refresh();
  }

 private:
  bool Unique() const { return !elements_ || elements_.use_count() == 1; }
  std::vector<T>& Own() {
    if (!elements_)
      elements_ = std::make_shared<std::vector<T>>();
    else if (elements_.use_count() > 1)
      elements_ = std::make_shared<std::vector<T>>(*elements_);
    return *elements_;
  }
  void Replace(std::vector<T> elements) {
    elements_ = std::make_shared<std::vector<T>>(std::move(elements));
    Refresh();
  }
  void Take(SharedArray& other) {
    elements_ = std::move(other.elements_);
    Refresh();
    other.Refresh();
  }
  // The element pointer and count are kept beside the shared block, so reading an element costs
  // what it costs in a vector.
  void Refresh() {
    data_ = elements_ ? elements_->data() : nullptr;
    size_ = elements_ ? elements_->size() : 0;
  }

  std::shared_ptr<std::vector<T>> elements_;
  const T* data_ = nullptr;
  size_t size_ = 0;
};

// The elements to write in place, for code that fills either kind of array.
template <class T>
T* WritableData(std::vector<T>& v) {
  return v.data();
}
template <class T>
T* WritableData(SharedArray<T>& a) {
  return a.MutableData();
}

}  // namespace vorn
