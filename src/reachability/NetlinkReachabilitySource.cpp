#include "reachability/NetlinkReachabilitySource.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include <kelvor/Log.hpp>
#include <kelvor/Reachability.hpp>

namespace kelvor {
namespace {

int openRouteSocket(uint32_t groups) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = groups;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends one dump request and hands every reply message to `visit`. False on a socket error.
template <class Visit>
bool dump(int fd, uint16_t type, uint32_t sequence, Visit&& visit) {
  struct {
    nlmsghdr header;
    union {
      ifinfomsg link;
      rtmsg route;
    } body;
  } request{};
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  if (type == RTM_GETLINK) {
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.body.link.ifi_family = AF_UNSPEC;
  } else {
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.body.route.rtm_family = AF_UNSPEC;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    return false;
  }
  std::vector<char> buffer(32768);
  for (;;) {
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto length = static_cast<unsigned int>(n);
    for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(message, length);
         message = NLMSG_NEXT(message, length)) {
      if (message->nlmsg_seq != sequence) continue;
      if (message->nlmsg_type == NLMSG_DONE) return true;
      if (message->nlmsg_type == NLMSG_ERROR) return false;
      visit(message);
    }
  }
}

}  // namespace

NetlinkReachabilitySource::NetlinkReachabilitySource() {
  querySocket_ = openRouteSocket(0);
  eventSocket_ = openRouteSocket(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                                 RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
}

NetlinkReachabilitySource::~NetlinkReachabilitySource() {
  stop();
  if (querySocket_ >= 0) close(querySocket_);
  if (eventSocket_ >= 0) close(eventSocket_);
}

std::optional<uint32_t> NetlinkReachabilitySource::readFlags() {
  std::lock_guard lock(queryMutex_);
  if (querySocket_ < 0) return std::nullopt;
  std::set<int> usable;
  bool ok = dump(querySocket_, RTM_GETLINK, ++sequence_, [&](nlmsghdr* message) {
    if (message->nlmsg_type != RTM_NEWLINK) return;
    auto* link = static_cast<ifinfomsg*>(NLMSG_DATA(message));
    unsigned flags = link->ifi_flags;
    if ((flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK)) {
      usable.insert(link->ifi_index);
    }
  });
  if (!ok) return std::nullopt;
  bool reachable = false;
  ok = dump(querySocket_, RTM_GETROUTE, ++sequence_, [&](nlmsghdr* message) {
    if (message->nlmsg_type != RTM_NEWROUTE || reachable) return;
    auto* route = static_cast<rtmsg*>(NLMSG_DATA(message));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
    uint32_t table = route->rtm_table;
    int length = static_cast<int>(RTM_PAYLOAD(message));
    std::vector<int> outputs;
    for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
      if (attribute->rta_type == RTA_TABLE) {
        table = *static_cast<uint32_t*>(RTA_DATA(attribute));
      } else if (attribute->rta_type == RTA_OIF) {
        outputs.push_back(*static_cast<int*>(RTA_DATA(attribute)));
      } else if (attribute->rta_type == RTA_MULTIPATH) {
        auto* hop = static_cast<rtnexthop*>(RTA_DATA(attribute));
        int left = static_cast<int>(RTA_PAYLOAD(attribute));
        while (RTNH_OK(hop, left)) {
          outputs.push_back(hop->rtnh_ifindex);
          left -= RTNH_ALIGN(hop->rtnh_len);
          hop = RTNH_NEXT(hop);
        }
      }
    }
    if (table != RT_TABLE_MAIN) return;
    for (int index : outputs) {
      if (usable.count(index) != 0) reachable = true;
    }
  });
  if (!ok) return std::nullopt;
  return reachable ? Reachability::kReachable : 0u;
}

void NetlinkReachabilitySource::watch() {
  // No read of its own at the start: the monitor's first read is the one it knows, and every
  // change after it wakes this thread.
  std::vector<char> buffer(32768);
  for (;;) {
    pollfd fds[2] = {{eventSocket_, POLLIN, 0}, {wakeFd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Log::error(std::string("Reachability: poll failed - ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    // Drain the burst of notifications, then look at the state once.
    while (recv(eventSocket_, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
    }
    readAndHandOver();
  }
}

}  // namespace kelvor
