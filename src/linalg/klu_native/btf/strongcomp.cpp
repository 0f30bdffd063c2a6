#include "linalg/klu_native/btf/strongcomp.hpp"

#include <algorithm>
#include <string>

#include "common/stop.hpp"
#include "linalg/klu_native/marked_index.hpp"
#include "linalg/klu_native/pattern_check.hpp"

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
    // What a visit of node j reads, side by side: a walk jumps from node to node at random.
    struct Node {
        // unvisited (-2); unassigned (-1): visited and on the component stack, its block not yet
        // known; >= 0: its block, in completion order. So "on the stack" is flag == unassigned.
        std::int32_t flag = unvisited;  // unvisited, unassigned, or its block
        // Discovery time, from 1.
        std::uint32_t time = 0;
        // Low link: the smallest discovery time of a node still on the component stack reached
        // from j's subtree by one edge, or j's own time; j roots a block when low == time.
        std::uint32_t low = 0;
        std::uint32_t end = 0;  // end of its column in ai
    };
    std::vector<Node> node(n);
    std::vector<std::uint32_t> begin(n);  // per node, the start of its column
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t c = has_q ? static_cast<std::size_t>(unflip(q[j])) : j;
        begin[j] = ap[c];
        node[j].end = ap[c + 1];
    }
    std::vector<std::uint32_t> pstack(n);  // per path level, the next entry to scan
    std::vector<std::uint32_t> jstack(n);
    // jstack[0 .. depth-1]: the depth-first path. cstack, Tarjan's stack: the nodes visited but
    // not yet in a block, in discovery order; a block is the part above its root when the root
    // finishes.
    std::vector<std::uint32_t> cstack(n);
    std::size_t ctop = 0;  // entries on the component stack
    std::uint32_t timestamp = 0;
    std::int32_t nblocks = 0;

    for (std::uint32_t root = 0; root < n; ++root) {
        if (node[root].flag != unvisited) continue;
        std::size_t depth = 1;  // entries on the path stack
        jstack[0] = root;
        while (depth > 0) {
            const std::uint32_t j = jstack[depth - 1];
            Node& nj = node[j];
            const std::uint32_t pend = nj.end;
            if (nj.flag == unvisited) {
                cstack[ctop++] = j;
                nj.time = ++timestamp;
                nj.low = nj.time;
                nj.flag = unassigned;
                pstack[depth - 1] = begin[j];
            }
            std::uint32_t p = pstack[depth - 1];
            for (; p < pend; ++p) {
                const std::uint32_t i = ai[p];
                const Node& ni = node[i];
                if (ni.flag == unvisited) {
                    pstack[depth - 1] = p + 1;
                    jstack[depth++] = i;
                    break;
                }
                if (ni.flag == unassigned) nj.low = std::min(nj.low, ni.time);
            }
            if (p != pend) continue;
            --depth;
            if (nj.low == nj.time) {
                std::uint32_t i;
                do {
                    i = cstack[--ctop];
                    node[i].flag = nblocks;
                } while (i != j);
                ++nblocks;
            }
            if (depth > 0) {
                Node& par = node[jstack[depth - 1]];
                par.low = std::min(par.low, nj.low);
            }
        }
    }

    const auto nb = static_cast<std::size_t>(nblocks);
    Components out{std::vector<std::uint32_t>(n), std::vector<std::uint32_t>(nb + 1, 0)};
    for (std::size_t i = 0; i < n; ++i) ++out.r[static_cast<std::size_t>(node[i].flag) + 1];
    for (std::size_t b = 0; b < nb; ++b) out.r[b + 1] += out.r[b];
    std::vector<std::uint32_t> fill(out.r.begin(), out.r.end() - 1);
    for (std::uint32_t i = 0; i < n; ++i) {
        out.p[fill[static_cast<std::size_t>(node[i].flag)]++] = i;
    }
    if (has_q) {
        std::vector<std::int32_t> permuted(n);
        for (std::size_t k = 0; k < n; ++k) permuted[k] = q[out.p[k]];
        std::copy(permuted.begin(), permuted.end(), q.begin());
    }
    return out;
}

}  // namespace quillmere::klu_native::btf
