// Cost of the V1 wire format: encoding a start request with device information and
// credentials, and decoding a typical prompt response.

#include <benchmark/benchmark.h>

#include <string>

#include "velqo/v1/protocol/actions.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace {

velqo::VelqoV1Request startRequest() {
  using velqo::VelqoV1JSONValue;
  velqo::VelqoV1JSONObject signals;
  signals.set("platform", VelqoV1JSONValue::string("linux"));
  signals.set("osVersion", VelqoV1JSONValue::string("6.1.0"));
  signals.set("deviceModel", VelqoV1JSONValue::string("x86_64"));
  signals.set("appVersion", VelqoV1JSONValue::string("1.4.2 (118)"));
  signals.set("locale", VelqoV1JSONValue::string("en_US"));
  signals.set("timezoneOffset", VelqoV1JSONValue::number(-3600));
  signals.set("isSimulator", VelqoV1JSONValue::boolean(false));
  return velqo::VelqoV1Request{
      1, std::nullopt,
      velqo::VelqoV1Action::start(
          velqo::VelqoV1FlowType::signin, "user@example.com", std::nullopt, std::nullopt,
          "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM",
          velqo::VelqoV1DeviceInfo{1, "3f0c8a5be1d94c7f9a2b6e0d4c1f8a7b5e3d2c1b0a9f8e7d6c5b4a3928171605",
                                   signals},
          velqo::VelqoV1DeviceCredentials{std::string(120, 'K'), std::string(64, 'h'),
                                          std::string(44, 'S')})};
}

void BM_EncodeStartRequest(benchmark::State& state) {
  const auto request = startRequest();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string body = velqo::encodeV1Request(request);
    bytes = body.size();
    benchmark::DoNotOptimize(body);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeStartRequest);

constexpr const char* kEnterCodeResponse =
    R"({"protocolVersion":1,"session":"sess_01HZX3K9Q2M8N7B6V5C4X3Z2A1",)"
    R"("prompt":{"type":"enter_code","destination":"a***@example.com","channel":"email","codeLength":6,)"
    R"("codeFormat":"numeric","codeExpiresAt":"2030-01-01T00:05:00Z","resendAt":"2030-01-01T00:01:00Z",)"
    R"("stepInfo":{"id":"primary","label":"Verify email"},)"
    R"("risk":{"detected":false,"reasons":[],"risk_score":0.08}},)"
    R"("meta":{"traceId":"tr-7f3a9c2e1d","expiresAt":"2030-01-01T00:10:00Z"}})";

void BM_DecodeEnterCodeResponse(benchmark::State& state) {
  const std::string body = kEnterCodeResponse;
  for (auto _ : state) {
    auto response = velqo::decodeV1Response(body);
    benchmark::DoNotOptimize(response);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_DecodeEnterCodeResponse);

constexpr const char* kErrorResponse =
    R"({"protocolVersion":1,"session":"sess_01HZX3K9Q2M8N7B6V5C4X3Z2A1",)"
    R"("prompt":{"type":"error","code":"rate_limited","message":"Too many attempts","retryable":true,)"
    R"("retryAction":{"type":"wait"},"retryAfter":30,"details":{"retry_after_seconds":10,"attemptsRemaining":0}},)"
    R"("meta":{"traceId":"tr-7f3a9c2e1d","expiresAt":"2030-01-01T00:10:00Z"}})";

void BM_DecodeErrorResponse(benchmark::State& state) {
  const std::string body = kErrorResponse;
  for (auto _ : state) {
    auto response = velqo::decodeV1Response(body);
    benchmark::DoNotOptimize(response);
  }
}
BENCHMARK(BM_DecodeErrorResponse);

}  // namespace
