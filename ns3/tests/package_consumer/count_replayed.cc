// Replays a stored trace and prints how many joins and leaves fired.
#include <cstdio>

#include "grouptrace-ns3/membership-trace-helper.h"
#include "ns3/core-module.h"
#include "ns3/network-module.h"

using namespace ns3;

static int joins = 0;
static int leaves = 0;

static void Joined(const grouptrace::JoinRecord&) {
  ++joins;
}
static void Left(const grouptrace::LeaveRecord&) {
  ++leaves;
}

int main(int argc, char* argv[]) {
  if (argc != 2) return 2;
  Ptr<MembershipTraceHelper> membership = CreateObject<MembershipTraceHelper>();
  membership->SetTraceFile(argv[1]);
  membership->TraceConnectWithoutContext("Join", MakeCallback(&Joined));
  membership->TraceConnectWithoutContext("Leave", MakeCallback(&Left));
  NodeContainer nodes;
  nodes.Create(membership->GetNetworkSize());
  membership->Install(nodes);
  Simulator::Run();
  Simulator::Destroy();
  std::printf("joins %d leaves %d\n", joins, leaves);
  return 0;
}
