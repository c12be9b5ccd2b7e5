// WideText: a growing UTF-16 buffer that UTF-8 text is widened into, reused from one use to the
// next. Clearing keeps its memory, and growing does not fill what it adds, so a parse that
// hands out many pieces of text allocates only while its longest piece grows.
#pragma once

#include "xmltext.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string_view>

namespace platform::msxml {

class WideText {
public:
    WideText() = default;
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;

    void Clear() noexcept { size_ = 0; }
    size_t Size() const noexcept { return size_; }
    // Never null, even before the first append: handlers get a pointer with every length.
    const char16_t* Data() const noexcept { return data_ ? data_.get() : u""; }
    std::u16string_view View() const noexcept { return {Data(), size_}; }

    // Appends UTF-8 text widened; throws std::bad_alloc when it cannot grow.
    void Append(std::string_view utf8) {
        Reserve(size_ + utf8.size());
        size_ = static_cast<size_t>(WidenUtf8(utf8, data_.get() + size_) - data_.get());
    }
    void Append(char16_t unit) {
        Reserve(size_ + 1);
        data_[size_++] = unit;
    }

private:
    void Reserve(size_t size) {
        if (size <= capacity_) {
            return;
        }
        const size_t capacity = std::max({size, 2 * capacity_, size_t{256}});
        auto grown = std::make_unique_for_overwrite<char16_t[]>(capacity);
        std::copy(data_.get(), data_.get() + size_, grown.get());
        data_ = std::move(grown);
        capacity_ = capacity;
    }

    std::unique_ptr<char16_t[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

} // namespace platform::msxml
