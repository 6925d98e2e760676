#include "devserver/multipart_form.hpp"

#include <algorithm>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>

namespace tessarin {

namespace {

constexpr std::string_view crlf = "\r\n";

std::string lowercased(std::string_view text) {
    return boost::algorithm::to_lower_copy(std::string(text));
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The parameters after the first ";" of a header value (media type, disposition), with their
// names lower-cased and quoted values unquoted.
std::map<std::string, std::string> parametersOf(std::string_view value) {
    std::map<std::string, std::string> parameters;
    const std::size_t first = value.find(';');
    std::string_view rest = first == std::string_view::npos ? "" : value.substr(first + 1);
    while (!(rest = trimmed(rest)).empty()) {
        const std::size_t equals = rest.find('=');
        if (equals == std::string_view::npos) {
            throw MultipartForm::Malformed("A header parameter has no value");
        }
        const std::string name = lowercased(trimmed(rest.substr(0, equals)));
        rest = trimmed(rest.substr(equals + 1));
        std::string text;
        if (rest.starts_with('"')) {
            const std::size_t close = rest.find('"', 1);
            if (close == std::string_view::npos) {
                throw MultipartForm::Malformed("A quoted header parameter is not closed");
            }
            text = std::string(rest.substr(1, close - 1));
            rest = trimmed(rest.substr(close + 1));
        } else {
            const std::size_t end = std::min(rest.find(';'), rest.size());
            text = std::string(trimmed(rest.substr(0, end)));
            rest = rest.substr(end);
        }
        if (!parameters.emplace(name, std::move(text)).second) {
            throw MultipartForm::Malformed("A header parameter is given twice");
        }
        if (!rest.empty() && !rest.starts_with(';')) {
            throw MultipartForm::Malformed("Unexpected text after a header parameter");
        }
        rest = rest.substr(rest.empty() ? 0 : 1);
    }
    return parameters;
}

std::string_view mediaTypeOf(std::string_view value) {
    return trimmed(value.substr(0, value.find(';')));
}

std::string boundaryOf(std::string_view contentType) {
    if (lowercased(mediaTypeOf(contentType)) != "multipart/form-data") {
        throw MultipartForm::Malformed("The body is not multipart/form-data");
    }
    const auto parameters = parametersOf(contentType);
    const auto boundary = parameters.find("boundary");
    if (boundary == parameters.end() || boundary->second.empty() || boundary->second.size() > 70) {
        throw MultipartForm::Malformed("The multipart boundary is missing or too long");
    }
    return boundary->second;
}

std::vector<std::string_view> headerLinesOf(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const std::size_t end = std::min(head.find(crlf), head.size());
        if (end > MultipartForm::maxHeaderLineBytes ||
            static_cast<int>(lines.size()) == MultipartForm::maxHeaderLines) {
            throw MultipartForm::Malformed("A part's headers are too long");
        }
        lines.push_back(head.substr(0, end));
        head.remove_prefix(std::min(end + crlf.size(), head.size()));
    }
    return lines;
}

std::pair<std::string, MultipartForm::Part> partOf(std::string_view text) {
    const std::size_t headEnd = text.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        throw MultipartForm::Malformed("A part has no blank line after its headers");
    }
    std::optional<std::string> name;
    MultipartForm::Part part;
    for (const std::string_view line : headerLinesOf(text.substr(0, headEnd))) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            throw MultipartForm::Malformed("A part header has no colon");
        }
        const std::string header = lowercased(trimmed(line.substr(0, colon)));
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (header == "content-disposition") {
            if (lowercased(mediaTypeOf(value)) != "form-data" || name) {
                throw MultipartForm::Malformed("A part is not a single form-data field");
            }
            auto parameters = parametersOf(value);
            if (auto found = parameters.find("name"); found != parameters.end()) {
                name = found->second;
            }
            if (auto found = parameters.find("filename"); found != parameters.end()) {
                part.filename = found->second;
            }
        } else if (header == "content-type") {
            part.contentType = std::string(value);
        }
    }
    if (!name || name->empty()) {
        throw MultipartForm::Malformed("A part does not name its field");
    }
    part.body = std::string(text.substr(headEnd + 4));
    return {std::move(*name), std::move(part)};
}

}  // namespace

MultipartForm MultipartForm::parse(std::string_view contentType, std::string_view body) {
    const std::string delimiter = "--" + boundaryOf(contentType);
    const std::string separator = std::string(crlf) + delimiter;
    if (!body.starts_with(delimiter + std::string(crlf))) {
        throw Malformed("The body does not start with the multipart boundary");
    }
    MultipartForm form;
    std::size_t at = delimiter.size() + crlf.size();
    for (;;) {
        const std::size_t end = body.find(separator, at);
        if (end == std::string_view::npos) {
            throw Malformed("The multipart body is not closed");
        }
        auto [name, part] = partOf(body.substr(at, end - at));
        if (!form.parts_.emplace(std::move(name), std::move(part)).second) {
            throw Malformed("A form field is given twice");
        }
        const std::string_view after = body.substr(end + separator.size());
        if (after == "--" || after == "--\r\n") {
            return form;
        }
        if (!after.starts_with(crlf)) {
            throw Malformed("A multipart boundary is followed by unexpected bytes");
        }
        at = end + separator.size() + crlf.size();
    }
}

const MultipartForm::Part* MultipartForm::part(std::string_view name) const {
    const auto found = parts_.find(name);
    return found == parts_.end() ? nullptr : &found->second;
}

const std::string& MultipartForm::field(std::string_view name) const {
    const Part* found = part(name);
    if (!found || found->filename) {
        throw Malformed("The form field \"" + std::string(name) + "\" is missing");
    }
    return found->body;
}

std::optional<std::string> MultipartForm::optionalField(std::string_view name) const {
    if (!part(name)) {
        return std::nullopt;
    }
    return field(name);
}

}  // namespace tessarin
