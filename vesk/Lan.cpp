// vesk lan [on|off]: whether other machines on the network reach the sites.
#include <iostream>

#include "Command.hpp"

namespace vesk::cli {

namespace {

void describe(const Exposure& exposure) {
    if (!exposure.lan) {
        std::cout << "The sites answer this machine only (127.0.0.1 and ::1); vesk lan on lets "
                     "other machines on the network reach them\n";
        return;
    }
    std::cout << "The sites answer other machines on the network too";
    if (exposure.since) std::cout << " (since " << exposure.since->iso8601() << ")";
    std::cout << ":";
    for (const auto& address : Exposures::networkAddresses()) std::cout << " " << address;
    std::cout << "\n  with the site's name as Host (curl -H 'Host: app.test' http://ADDRESS/); "
                 "vesk lan off ends it\n";
}

}  // namespace

int lan(const Arguments& args) {
    if (args.words.size() > 1) throw UsageError{};
    const auto word = args.word(0);
    if (!word) {
        describe(exposureRecord().read({}));
        return 0;
    }
    if (*word != "on" && *word != "off") throw UsageError{};
    const bool on = *word == "on";
    Exposure now;
    exposureRecord().update({}, [&](Exposure& e) {
        if (e.lan != on) e.since = on ? std::optional<Date>(Date::now()) : std::nullopt;
        e.lan = on;
        now = e;
    });
    // nginx cannot move a port from the loopback to every address (or
    // back) on a reload, which binds the new addresses beside the old: it
    // is restarted.
    if (servers().installed()) {
        restart(Arguments{{"nginx"}, {}});
    } else {
        applyConfiguration();
    }
    describe(now);
    return 0;
}

}  // namespace vesk::cli
