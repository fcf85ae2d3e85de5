// The host's checks on pended requests: each completed exactly once, none completed that
// was not pended, none issued while another is outstanding.
#include <functional>

#include "host/ndis/miniport_block.h"
#include "tests/support/sim_test.h"

namespace sirtest {
namespace {

using host::ndis::MiniportBlock;
using host::ndis::RequestKind;

struct RequestCase {
  const char* name;
  std::function<void(MiniportBlock&)> steps;
  std::string_view finding;  // empty: none
  std::size_t completions;
};

class NdisRequests : public SimTest {};

TEST_F(NdisRequests, EachPendedRequestIsCompletedExactlyOnce) {
  const std::vector<RequestCase> cases = {
      {"pended and completed",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kQuery, "query");
         EXPECT_TRUE(block.EndRequestCall(NDIS_STATUS_PENDING, "query"));
         NdisMQueryInformationComplete(block.handle(), NDIS_STATUS_SUCCESS);
         EXPECT_FALSE(block.requestOutstanding());
       },
       {}, 1},
      {"completed inside the handler, then answered pending",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kSet, "set");
         NdisMSetInformationComplete(block.handle(), NDIS_STATUS_SUCCESS);
         EXPECT_FALSE(block.EndRequestCall(NDIS_STATUS_PENDING, "set"));
       },
       {}, 1},
      {"reset with either addressing flag",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kReset, "reset");
         block.EndRequestCall(NDIS_STATUS_PENDING, "reset");
         NdisMResetComplete(block.handle(), NDIS_STATUS_SUCCESS, TRUE);
       },
       {}, 1},
      {"completed twice",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kQuery, "query");
         block.EndRequestCall(NDIS_STATUS_PENDING, "query");
         NdisMQueryInformationComplete(block.handle(), NDIS_STATUS_SUCCESS);
         NdisMQueryInformationComplete(block.handle(), NDIS_STATUS_SUCCESS);
       },
       host::rule::kNdisRequestNotPending, 1},
      {"never pended",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kSet, "set");
         block.EndRequestCall(NDIS_STATUS_SUCCESS, "set");
         NdisMSetInformationComplete(block.handle(), NDIS_STATUS_SUCCESS);
       },
       host::rule::kNdisRequestNotPending, 0},
      {"completed as the wrong kind",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kQuery, "query");
         block.EndRequestCall(NDIS_STATUS_PENDING, "query");
         NdisMSetInformationComplete(block.handle(), NDIS_STATUS_SUCCESS);
         NdisMQueryInformationComplete(block.handle(), NDIS_STATUS_SUCCESS);
       },
       host::rule::kNdisRequestNotPending, 1},
      {"completed and answered",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kQuery, "query");
         NdisMQueryInformationComplete(block.handle(), NDIS_STATUS_SUCCESS);
         block.EndRequestCall(NDIS_STATUS_SUCCESS, "query");
       },
       host::rule::kNdisRequestCompletedAndAnswered, 1},
      {"issued while one is outstanding",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kReset, "reset");
         block.EndRequestCall(NDIS_STATUS_PENDING, "reset");
         block.BeginRequest(RequestKind::kQuery, "query");
         block.EndRequestCall(NDIS_STATUS_SUCCESS, "query");
       },
       host::rule::kNdisRequestOverlap, 0},
      {"never completed",
       [](MiniportBlock& block) {
         block.BeginRequest(RequestKind::kSet, "set");
         block.EndRequestCall(NDIS_STATUS_PENDING, "set");
         EXPECT_EQ(block.CheckPendingRequests("checkpoint"), 1u);
       },
       host::rule::kNdisRequestNeverCompleted, 0},
  };
  for (const RequestCase& each : cases) {
    if (!each.finding.empty()) ExpectFinding(each.finding);
  }
  Run([&] {
    for (const RequestCase& each : cases) {
      SCOPED_TRACE(each.name);
      std::size_t before = sim().verifier().violations().size();
      MiniportBlock& block = host::ndis::CreateMiniportBlock(nullptr, nullptr);
      each.steps(block);
      EXPECT_EQ(block.requestCompletions().size(), each.completions);
      const auto& violations = sim().verifier().violations();
      if (each.finding.empty()) {
        EXPECT_EQ(violations.size(), before);
      } else {
        ASSERT_EQ(violations.size(), before + 1);
        EXPECT_EQ(violations.back().rule, each.finding);
      }
    }
  });
}

}  // namespace
}  // namespace sirtest
