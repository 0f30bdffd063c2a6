#include "klu_native/btf/strongcomp.hpp"

#include <algorithm>
#include <string>

#include "klu_native/marked_index.hpp"
#include "klu_native/pattern_check.hpp"
#include "stop.hpp"

namespace quillmere::klu_native::btf {
namespace {

constexpr std::int32_t unvisited = -2;
constexpr std::int32_t unassigned = -1;

}  // namespace

Components strongcomp(std::size_t n, std::span<const std::uint32_t> ap,
                      std::span<const std::uint32_t> ai, std::span<std::int32_t> q) {
    check_pattern(n, n, ap, ai);
    const bool has_q = !q.empty();
    if (has_q) {
        check_len(q.size(), n, "column order");
        for (std::size_t j = 0; j < n; ++j) {
            const std::int32_t c = unflip(q[j]);
            if (c < 0) stop("column order entry " + std::to_string(j) + " names no column");
            check_index(static_cast<std::size_t>(c), n);
        }
    }
    auto column = [&](std::uint32_t j) {
        return has_q ? static_cast<std::uint32_t>(unflip(q[j])) : j;
    };

    std::vector<std::int32_t> flag(n, unvisited);  // unvisited, unassigned, or its block
    std::vector<std::uint32_t> time(n, 0);
    std::vector<std::uint32_t> low(n, 0);
    std::vector<std::uint32_t> jstack(n);
    std::vector<std::uint32_t> pstack(n);
    std::vector<std::uint32_t> cstack(n);
    std::size_t ctop = 0;  // entries on the component stack
    std::uint32_t timestamp = 0;
    std::int32_t nblocks = 0;

    for (std::uint32_t root = 0; root < n; ++root) {
        if (flag[root] != unvisited) continue;
        std::size_t depth = 1;  // entries on the path stack
        jstack[0] = root;
        while (depth > 0) {
            const std::uint32_t j = jstack[depth - 1];
            const std::uint32_t jj = column(j);
            const std::uint32_t pend = ap[jj + 1];
            if (flag[j] == unvisited) {
                cstack[ctop++] = j;
                time[j] = ++timestamp;
                low[j] = time[j];
                flag[j] = unassigned;
                pstack[depth - 1] = ap[jj];
            }
            std::uint32_t p = pstack[depth - 1];
            for (; p < pend; ++p) {
                const std::uint32_t i = ai[p];
                if (flag[i] == unvisited) {
                    pstack[depth - 1] = p + 1;
                    jstack[depth++] = i;
                    break;
                }
                if (flag[i] == unassigned) low[j] = std::min(low[j], time[i]);
            }
            if (p != pend) continue;
            --depth;
            if (low[j] == time[j]) {
                std::uint32_t i;
                do {
                    i = cstack[--ctop];
                    flag[i] = nblocks;
                } while (i != j);
                ++nblocks;
            }
            if (depth > 0) {
                const std::uint32_t par = jstack[depth - 1];
                low[par] = std::min(low[par], low[j]);
            }
        }
    }

    const auto nb = static_cast<std::size_t>(nblocks);
    Components out{std::vector<std::uint32_t>(n), std::vector<std::uint32_t>(nb + 1, 0)};
    for (std::size_t i = 0; i < n; ++i) ++out.r[static_cast<std::size_t>(flag[i]) + 1];
    for (std::size_t b = 0; b < nb; ++b) out.r[b + 1] += out.r[b];
    std::vector<std::uint32_t> fill(out.r.begin(), out.r.end() - 1);
    for (std::uint32_t i = 0; i < n; ++i) out.p[fill[static_cast<std::size_t>(flag[i])]++] = i;
    if (has_q) {
        std::vector<std::int32_t> permuted(n);
        for (std::size_t k = 0; k < n; ++k) permuted[k] = q[out.p[k]];
        std::copy(permuted.begin(), permuted.end(), q.begin());
    }
    return out;
}

}  // namespace quillmere::klu_native::btf
