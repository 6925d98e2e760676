#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessarin {

// A multipart/form-data body, parsed strictly: the body must start with the first delimiter, every
// part must name its field in a form-data Content-Disposition, no field may appear twice, and the
// closing delimiter must end the body (a final CRLF aside). Anything else is refused, so a client
// that frames its uploads wrongly finds out here rather than from a real server.
class MultipartForm {
  public:
    struct Part {
        std::optional<std::string> filename;
        std::optional<std::string> contentType;
        std::string body;
    };

    // Thrown for every way the body or its Content-Type is malformed; what() says how.
    class Malformed : public std::runtime_error {
      public:
        using std::runtime_error::runtime_error;
    };

    // Header lines per part and bytes per header line, so hostile input stays small to parse.
    static constexpr int maxHeaderLines = 8;
    static constexpr std::size_t maxHeaderLineBytes = 1024;

    static MultipartForm parse(std::string_view contentType, std::string_view body);

    const Part* part(std::string_view name) const;
    // The body of a part without a filename; throws Malformed when the field is missing or is a
    // file.
    const std::string& field(std::string_view name) const;
    std::optional<std::string> optionalField(std::string_view name) const;

  private:
    std::map<std::string, Part, std::less<>> parts_;
};

}  // namespace tessarin
