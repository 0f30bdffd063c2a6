// Throughput of the typed PGM reader against a bare simdjson On-Demand walk that touches every
// value of the same generated document.

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <variant>

#include "pgm/reader.hpp"

namespace {

// A radial-ish network in object form: nodes, a line per node, loads and generators.
std::string generate_document(std::size_t n_nodes) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::string text;
    text.reserve(n_nodes * 300);
    char buf[512];
    auto sep = [&](std::size_t i) { text += i == 0 ? "\n    " : ",\n    "; };
    text +=
        "{\"version\": \"1.0\", \"type\": \"input\", \"is_batch\": false, \"data\": {\n  \"node\": "
        "[";
    for (std::size_t i = 0; i < n_nodes; ++i) {
        sep(i);
        std::snprintf(buf, sizeof buf, "{\"id\": %zu, \"u_rated\": %.1f}", i + 1,
                      i % 50 == 0 ? 10500.0 : 400.0);
        text += buf;
    }
    text += "\n  ],\n  \"line\": [";
    for (std::size_t i = 1; i < n_nodes; ++i) {
        sep(i - 1);
        std::snprintf(buf, sizeof buf,
                      "{\"id\": %zu, \"from_node\": %zu, \"to_node\": %zu, \"from_status\": 1, "
                      "\"to_status\": 1, \"r1\": %.8g, \"x1\": %.8g, \"c1\": %.6g, "
                      "\"r0\": %.6g, \"x0\": %.6g, \"c0\": 0.0}",
                      n_nodes + i, 1 + (i - 1) / 2, i + 1, 0.05 + unit(rng), 0.02 + unit(rng),
                      1e-9 * unit(rng), 0.1 + unit(rng), 0.05 + unit(rng));
        text += buf;
    }
    text +=
        "\n  ],\n  \"source\": [\n    {\"id\": 0, \"node\": 1, \"status\": 1, \"u_ref\": 1.0, "
        "\"sk\": 1e10, \"rx_ratio\": 0.1}\n  ],\n  \"sym_load\": [";
    for (std::size_t i = 0; i < n_nodes / 2; ++i) {
        sep(i);
        std::snprintf(buf, sizeof buf,
                      "{\"id\": %zu, \"node\": %zu, \"status\": 1, \"type\": %zu, "
                      "\"p_specified\": %.8g, \"q_specified\": %.8g}",
                      3 * n_nodes + i, 2 * i + 2, i % 3, 1e3 * unit(rng), 2e2 * unit(rng));
        text += buf;
    }
    text += "\n  ],\n  \"sym_gen\": [";
    for (std::size_t i = 0; i < n_nodes / 8; ++i) {
        sep(i);
        std::snprintf(buf, sizeof buf,
                      "{\"id\": %zu, \"node\": %zu, \"status\": 1, \"p_specified\": %.8g, "
                      "\"q_specified\": %.8g}",
                      4 * n_nodes + i, 8 * i + 3, 5e3 * unit(rng), -1e2 * unit(rng));
        text += buf;
    }
    text += "\n  ]\n}}\n";
    return text;
}

// Touches every value: numbers are parsed as doubles, strings unescaped, keys read.
simdjson::error_code walk(simdjson::ondemand::value value, double& sum) {
    simdjson::ondemand::json_type type;
    if (auto e = value.type().get(type)) return e;
    switch (type) {
        case simdjson::ondemand::json_type::object: {
            simdjson::ondemand::object object;
            if (auto e = value.get_object().get(object)) return e;
            for (auto field : object) {
                std::string_view key;
                if (auto e = field.unescaped_key().get(key)) return e;
                sum += static_cast<double>(key.size());
                simdjson::ondemand::value child;
                if (auto e = field.value().get(child)) return e;
                if (auto e = walk(child, sum)) return e;
            }
            return simdjson::SUCCESS;
        }
        case simdjson::ondemand::json_type::array: {
            simdjson::ondemand::array array;
            if (auto e = value.get_array().get(array)) return e;
            for (auto element : array) {
                simdjson::ondemand::value child;
                if (auto e = element.get(child)) return e;
                if (auto e = walk(child, sum)) return e;
            }
            return simdjson::SUCCESS;
        }
        case simdjson::ondemand::json_type::number: {
            double d = 0;
            if (auto e = value.get_double().get(d)) return e;
            sum += d;
            return simdjson::SUCCESS;
        }
        case simdjson::ondemand::json_type::string: {
            std::string_view s;
            if (auto e = value.get_string().get(s)) return e;
            sum += static_cast<double>(s.size());
            return simdjson::SUCCESS;
        }
        case simdjson::ondemand::json_type::boolean: {
            bool b = false;
            if (auto e = value.get_bool().get(b)) return e;
            sum += b;
            return simdjson::SUCCESS;
        }
        case simdjson::ondemand::json_type::null:
            return value.is_null().error();
    }
    return simdjson::SUCCESS;
}

template <class F>
double best_seconds(int runs, F&& f) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

}  // namespace

int main() {
    const std::string text = generate_document(200'000);
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("document: %.1f MB\n", mb);

    std::size_t records = 0;
    const double typed = best_seconds(5, [&] {
        auto result = quillmere::pgm::parse_pgm_json(text);
        if (auto* message = std::get_if<std::string>(&result)) {
            std::fprintf(stderr, "typed reader refused the document: %s\n", message->c_str());
            std::exit(1);
        }
        const auto& d = std::get<quillmere::pgm::PgmInput>(result).data;
        records = d.node.size() + d.line.size() + d.sym_load.size() + d.sym_gen.size();
    });

    // The bare walk at its best: the padded copy and the parser are made once, outside the timing.
    const simdjson::padded_string padded(text);
    simdjson::ondemand::parser parser;
    double sum = 0;
    auto walk_document = [&](simdjson::ondemand::parser& p, const simdjson::padded_string& json) {
        simdjson::ondemand::document doc;
        simdjson::ondemand::value root;
        auto e = p.iterate(json).get(doc);
        if (!e) e = doc.get_value().get(root);
        if (!e) e = walk(root, sum);
        if (e) {
            std::fprintf(stderr, "bare walk failed: %s\n", simdjson::error_message(e));
            std::exit(1);
        }
    };
    const double bare = best_seconds(5, [&] { walk_document(parser, padded); });
    // The same walk as a one-shot reader has to run it: copy, fresh parser, walk.
    const double one_shot = best_seconds(5, [&] {
        const simdjson::padded_string copy(text);
        simdjson::ondemand::parser fresh;
        walk_document(fresh, copy);
    });

    std::printf("typed reader:        %8.1f MB/s  (%zu records)\n", mb / typed, records);
    std::printf("bare On-Demand walk: %8.1f MB/s  (warm parser, text padded beforehand)\n",
                mb / bare);
    std::printf("typed / bare:        %8.2f\n", bare / typed);
    std::printf("bare walk, one-shot: %8.1f MB/s  (padded copy and fresh parser per run)\n",
                mb / one_shot);
    std::printf("(walk checksum %.6g)\n", sum);
    return 0;
}
