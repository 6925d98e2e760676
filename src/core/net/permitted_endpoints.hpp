#pragma once

#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

namespace tessarin {

// The addresses a resolved name may be connected to. Plain (unencrypted) connections carry
// credentials readably, so they may only reach this computer: judged by the addresses the name
// resolved to, not by how the name looks. Addresses that merely lead here (0.0.0.0, IPv4-mapped)
// don't count. Encrypted connections may use every address.
struct PermittedEndpoints {
    std::vector<boost::asio::ip::tcp::endpoint> endpoints;
    // The first address left out, for the message when none is left.
    std::string refused;

    static PermittedEndpoints of(const boost::asio::ip::tcp::resolver::results_type& resolved,
                                 bool plain);
};

}  // namespace tessarin
