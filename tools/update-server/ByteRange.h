#pragma once

#include <cstdint>
#include <string>

namespace UpdateSrv {

// What a Range header asks of a file of a given size.
struct ByteRange {
    enum class Kind {
        Whole,          // no usable range: answer 200 with the whole file
        Part,           // answer 206 with bytes first..last (inclusive)
        Unsatisfiable,  // answer 416
    };
    Kind kind = Kind::Whole;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

// Single ranges only: "bytes=N-", "bytes=N-M" and the suffix form "bytes=-N". A header that is
// malformed or lists several ranges is ignored (whole file), as HTTP allows; a range that starts
// at or after the end of the file is unsatisfiable.
ByteRange ParseByteRange(const std::string& header, std::uint64_t size);

}  // namespace UpdateSrv
