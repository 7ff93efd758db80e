// The default-route device: the token after the first "dev" of a successful lookup.
#include <gtest/gtest.h>

#include "root_helper/netops/netops.hpp"

namespace tq8::netops {
namespace {

struct RouteCase {
    const char* name;
    core::CommandResult route;
    std::optional<std::string> device;
};

class DefaultRoute : public ::testing::TestWithParam<RouteCase> {};

TEST_P(DefaultRoute, FindsTheDeviceOfTheFirstRoute) {
    EXPECT_EQ(default_route_device(GetParam().route), GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DefaultRoute,
    ::testing::Values(
        RouteCase{"one_route",
                  {0, "default via 192.168.1.1 dev wlp0s20f3 proto dhcp metric 600", ""},
                  "wlp0s20f3"},
        RouteCase{"first_of_two",
                  {0,
                   "default via 10.0.0.1 dev eth0 proto static\n"
                   "default via 192.168.1.1 dev wlan0 metric 600",
                   ""},
                  "eth0"},
        RouteCase{"tabs_and_runs_of_blanks", {0, "default\tvia 10.0.0.1  dev \t enp3s0", ""},
                  "enp3s0"},
        // "dev " is found, but only inside a longer token: no token is exactly "dev".
        RouteCase{"dev_only_inside_a_token", {0, "default via 10.0.0.1 mydev eth0", ""},
                  std::nullopt},
        RouteCase{"no_dev_at_all", {0, "default via 10.0.0.1", ""}, std::nullopt},
        RouteCase{"empty_output", {0, "", ""}, std::nullopt},
        RouteCase{"lookup_failed", {2, "default via 10.0.0.1 dev eth0", "boom"}, std::nullopt},
        RouteCase{"runner_failure",
                  {1, "", "Komut çalıştırma hatası (ip -o -4 route show to default): x"},
                  std::nullopt},
        // Nothing follows the only "dev" token: no device, rather than a guess.
        RouteCase{"dev_is_last_token", {0, "default via 10.0.0.1 xdev y dev", ""},
                  std::nullopt},
        // A no-break space separates tokens as Python's str.split() does.
        RouteCase{"unicode_space_separates", {0, "default dev\xc2\xa0" "eth1 x dev y", ""},
                  "eth1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DefaultRouteCmd, IsTheOneLinePerRouteIpv4Query) {
    EXPECT_EQ(kDefaultRouteCmd,
              (std::vector<std::string>{"ip", "-o", "-4", "route", "show", "to", "default"}));
}

}  // namespace
}  // namespace tq8::netops
