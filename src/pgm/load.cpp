#include "pgm/load.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "pgm/convert.hpp"
#include "pgm/reader.hpp"
#include "pgm/utf8.hpp"

namespace quillmere::pgm {
namespace {

// Closes the descriptor on every path out of read_whole_file.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

std::string os_description(int err) {
    return std::generic_category().message(err);
}

// The whole file as text, or why it cannot be had: a Read error, or Interrupted.
std::variant<std::string, LoadError> read_whole_file(const std::string& path,
                                                     Interruption interrupted) {
    const auto failure = [&](const std::string& reason) {
        return LoadError{LoadError::Kind::Read, "reading " + path + ": " + reason};
    };
    const auto ended = [&] {
        return LoadError{LoadError::Kind::Interrupted, "reading " + path + ": interrupted"};
    };
    // The OS would read the path only up to the first NUL, i.e. some other file.
    if (path.find('\0') != std::string::npos) return failure("path contains a NUL byte");

    // Opening a pipe waits for its writer, and a signal ends the wait with EINTR.
    FileDescriptor file;
    while ((file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        if (errno != EINTR) return failure(os_description(errno));
        if (interrupted()) return ended();
    }

    std::string text;
    struct stat info {};
    if (::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        text.reserve(static_cast<std::size_t>(info.st_size));
    }
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.fd, chunk, sizeof chunk);
        if (got == 0) break;
        if (got > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            return failure(os_description(errno));
        }
        // Asked after every chunk as well as after an interrupted read: a device that never ends
        // (/dev/zero) keeps every read busy, so no read of it is ever interrupted.
        if (interrupted()) return ended();
    }
    if (!is_valid_utf8(text)) return failure("contents are not valid UTF-8");
    return text;
}

}  // namespace

std::variant<LoadedNetwork, LoadError> load_network(const std::string& path, double s_base_va,
                                                    double freq_hz, Interruption interrupted) {
    PgmInput input;
    {
        auto read = read_whole_file(path, interrupted);
        if (auto* error = std::get_if<LoadError>(&read)) return std::move(*error);
        auto parsed = parse_pgm_json(std::get<std::string>(read));
        if (auto* message = std::get_if<std::string>(&parsed)) {
            return LoadError{LoadError::Kind::Parse,
                             "parsing " + path + " as PGM JSON: " + *message};
        }
        input = std::move(std::get<PgmInput>(parsed));
    }
    auto converted = convert_pgm(input.data, s_base_va, freq_hz);
    input = PgmInput{};
    if (auto* problem = std::get_if<std::string>(&converted)) {
        return LoadError{LoadError::Kind::Reference, std::move(*problem)};
    }
    ConvertedNetwork& network = std::get<ConvertedNetwork>(converted);

    YBus ybus = network::build_ybus(network.buses.size(), network.lines, network.transformers);
    network::stamp_shunts(ybus, network.shunts);
    return LoadedNetwork{std::move(network.buses), std::move(ybus).finish()};
}

}  // namespace quillmere::pgm
