#include "ns3/core-module.h"
#include "ns3/internet-module.h"

int main() {
  ns3::Ipv4StaticRoutingHelper routing;
  return static_cast<int>(ns3::Simulator::Now().GetSeconds());
}
