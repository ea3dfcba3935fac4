// Feeds arbitrary bytes to the V1 response decoder and to the helpers that read response
// bodies (error messages, HTTP error details, wire lines, free JSON values). Any crash,
// sanitizer report or exception other than the decoder's own error is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "v1/protocol/diagnostics.hpp"
#include "v1/protocol/messages.hpp"
#include "velqo/v1/protocol/flow_state.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void exerciseResponse(const velqo::VelqoV1Response& response) {
  using namespace velqo::v1::detail;
  const velqo::VelqoV1FlowSnapshot snapshot(response);
  check(snapshot.prompt == response.prompt);
  check(!response.promptMeta || !response.promptMeta->isEmpty());
  (void)response.prompt.wireName();
  const auto phase = phaseForResponse(response.prompt, response.promptMeta);
  if (const auto* error = response.prompt.as<velqo::VelqoV1Prompt::Error>()) {
    check(!error->details || !error->details->isEmpty());
    const std::string message =
        userFacingErrorMessage(error->code, error->message, phase, response.meta.traceId, error->action,
                               error->retryable, error->details);
    check(!message.empty());
    (void)error->action.caseDescription();
    if (error->details) (void)velqo::encodeV1JSON(*error->details);
  }
  if (const auto* select = response.prompt.as<velqo::VelqoV1Prompt::SelectMethod>()) {
    for (const auto& method : select->methods) (void)velqo::encodeV1JSON(method);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    exerciseResponse(velqo::decodeV1Response(body));
  } catch (const velqo::VelqoV1JSONCodingError&) {
    // Rejected input is the expected outcome for most bytes.
  }

  using namespace velqo::v1::detail;
  (void)extractHttpErrorDetail(body);
  (void)httpErrorRawMessage(500, body);
  (void)composeWireBodyLine("[V1][WIRE][RESP_BODY]", body);

  // A value read from text always writes back to text that reads as an equal value.
  try {
    const auto value = velqo::VelqoV1JSONValue::fromJSONText(body);
    const auto again = velqo::VelqoV1JSONValue::fromJSONText(value.toJSONText());
    check(again == value);
  } catch (const velqo::VelqoV1JSONCodingError&) {
  }
  return 0;
}
