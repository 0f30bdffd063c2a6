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

// The whole file as text, or the reason it cannot be had.
std::variant<std::string, std::string> read_whole_file(const std::string& path) {
    // The OS would read the path only up to the first NUL, i.e. some other file.
    if (path.find('\0') != std::string::npos) {
        return std::variant<std::string, std::string>(std::in_place_index<1>,
                                                      "path contains a NUL byte");
    }
    const auto failure = [](int err) {
        return std::variant<std::string, std::string>(std::in_place_index<1>, os_description(err));
    };
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return failure(errno);

    std::string text;
    struct stat info {};
    if (::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        text.reserve(static_cast<std::size_t>(info.st_size));
    }
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return failure(errno);
        }
        if (got == 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    if (!is_valid_utf8(text)) {
        return std::variant<std::string, std::string>(std::in_place_index<1>,
                                                      "contents are not valid UTF-8");
    }
    return std::variant<std::string, std::string>(std::in_place_index<0>, std::move(text));
}

}  // namespace

std::variant<LoadedNetwork, LoadError> load_network(const std::string& path, double s_base_va,
                                                    double freq_hz) {
    PgmInput input;
    {
        auto read = read_whole_file(path);
        if (read.index() == 1) {
            return LoadError{LoadError::Kind::Read, "reading " + path + ": " + std::get<1>(read)};
        }
        auto parsed = parse_pgm_json(std::get<0>(read));
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
