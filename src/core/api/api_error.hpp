#pragma once

#include <exception>
#include <optional>
#include <string>

namespace tessarin {

// Every way a web-server call fails after an HTTP response arrived. `what()` is errorDescription.
class APIError : public std::exception {
  public:
    enum class Kind {
        server,       // a non-success status, or a web page where JSON was expected
        decoding,     // a success body that did not decode as the expected type
        signedOut,    // still 401 after one token renewal
        accessLogin,  // a login gateway intercepted the request
    };

    static APIError server(int status, std::optional<std::string> code,
                           std::optional<std::string> message);
    // `typeName` is the expected reply type: "Me", "UpcomingResponse", "CreatedMeeting",
    // "TranscriptionToken", "ChunkResponse" or "MeetingList".
    static APIError decoding(std::string typeName);
    static APIError signedOut();
    static APIError accessLogin();

    Kind kind() const { return kind_; }
    // The HTTP status of a `server` error; nothing for the other kinds.
    std::optional<int> status() const;
    // The server's error code of a `server` error; nothing for the other kinds.
    const std::optional<std::string>& code() const { return code_; }
    const std::optional<std::string>& message() const { return message_; }
    // The expected type of a `decoding` error; empty otherwise.
    const std::string& typeName() const { return typeName_; }

    // A 4xx refusal that repeating will not change (not 401, 408, 409 or 429).
    bool isPermanentRefusal() const;
    // The server says realtime transcription can't be used, so uploads must be used instead.
    bool isRealtimeUnavailable() const;

    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const APIError& other) const {
        return kind_ == other.kind_ && status_ == other.status_ && code_ == other.code_ &&
               message_ == other.message_ && typeName_ == other.typeName_;
    }

  private:
    explicit APIError(Kind kind) : kind_(kind) {}
    void describe();

    Kind kind_;
    int status_ = 0;
    std::optional<std::string> code_;
    std::optional<std::string> message_;
    std::string typeName_;
    std::string description_;
};

}  // namespace tessarin
