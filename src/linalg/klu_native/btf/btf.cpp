#include "linalg/klu_native/btf/btf.hpp"

#include "linalg/klu_native/btf/maxtrans.hpp"
#include "linalg/klu_native/btf/strongcomp.hpp"
#include "linalg/klu_native/marked_index.hpp"

namespace quillmere::klu_native::btf {

BtfOrder btf_order(std::size_t n, std::span<const std::uint32_t> ap,
                   std::span<const std::uint32_t> ai) {
    Matching m = maxtrans(n, n, ap, ai);
    BtfOrder out;
    out.nmatch = m.nmatch;
    // q[i]: the column paired with row i, node i of the components; free rows take the free
    // columns in increasing order, flipped.
    out.q = std::move(m.match);
    if (out.nmatch < n) {
        std::vector<bool> matched(n, false);
        for (std::int32_t c : out.q) {
            if (c >= 0) matched[static_cast<std::size_t>(c)] = true;
        }
        std::size_t next_free = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (out.q[i] != -1) continue;
            while (matched[next_free]) ++next_free;
            out.q[i] = flip(static_cast<std::int32_t>(next_free++));
        }
    }
    Components c = strongcomp(n, ap, ai, out.q);
    out.p = std::move(c.p);
    out.r = std::move(c.r);
    return out;
}

}  // namespace quillmere::klu_native::btf
