// A record that a test owns and gives back with the record's own release
// function: Owned<NALUS, h264_free_nalus>.
#pragma once

#include <memory>

namespace tavrel_testing {

template <auto Release>
struct ReleaseWith {
    template <class T>
    void operator()(T *record) const
    {
        Release(record);
    }
};

template <class T, auto Release>
using Owned = std::unique_ptr<T, ReleaseWith<Release>>;

}  // namespace tavrel_testing
