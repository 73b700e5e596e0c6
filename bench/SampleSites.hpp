// A realistic site list shared by the benchmarks.
#pragma once

#include <string>
#include <vector>

#include "vesk/sites/Site.hpp"

namespace {

std::vector<vesk::Site> makeSites(int n) {
    std::vector<vesk::Site> sites;
    sites.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const std::string name = "site" + std::to_string(i);
        vesk::DetectedProject project(
            vesk::UUID::random(), "/Users/dev/Sites/" + name, vesk::ProjectType::laravel,
            {vesk::ProjectType::laravel, vesk::ProjectType::nodejs},
            vesk::ProjectFrameworkInfo{"Laravel", "11.0", "artisan"},
            {vesk::RuntimeInfo{vesk::RuntimeType::php, "^8.2", "composer.json"}},
            vesk::Date{7.0e8 + i}, 0.95);
        sites.emplace_back(vesk::UUID::random(), name, "/Users/dev/Sites/" + name, std::nullopt,
                           "test", std::string("8.3"), std::nullopt, i % 2 == 0, true, false, false,
                           std::string("clients"), std::vector<std::string>{"www." + name},
                           vesk::Date{7.0e8}, std::move(project));
    }
    return sites;
}

}  // namespace
