// Names the networking client exports: notifications, error domains, user-info keys and
// upload throttling suggestions. Constants; safe from any thread.
#pragma once
#include <cstdint>
#include <vector>

inline constexpr const char MCNetworkingReachabilityDidChangeNotification[] = "com.marvisto.networking.reachability.change";
inline constexpr const char MCNetworkingReachabilityNotificationStatusItem[] = "MCNetworkingReachabilityNotificationStatusItem";
inline constexpr const char MCNetworkingOperationDidStartNotification[] = "com.marvisto.networking.operation.start";
inline constexpr const char MCNetworkingOperationDidFinishNotification[] = "com.marvisto.networking.operation.finish";
inline constexpr const char MCURLRequestSerializationErrorDomain[] = "com.marvisto.error.serialization.request";
inline constexpr const char MCURLResponseSerializationErrorDomain[] = "com.marvisto.error.serialization.response";
inline constexpr const char MCNetworkingOperationFailingURLRequestErrorKey[] = "com.marvisto.serialization.request.error.response";
inline constexpr const char MCNetworkingOperationFailingURLResponseErrorKey[] = "com.marvisto.serialization.response.error.response";
inline constexpr const char MCNetworkingOperationFailingURLResponseDataErrorKey[] = "com.marvisto.serialization.response.error.data";
inline constexpr uint64_t MCUploadStream3GSuggestedPacketSize = 16384;
inline constexpr double MCUploadStream3GSuggestedDelay = 0.2;

// User-info keys of errors shared with the platform's URL loading.
inline constexpr const char MCURLErrorFailingURLErrorKey[] = "NSErrorFailingURLKey";
inline constexpr const char MCLocalizedFailureReasonErrorKey[] = "NSLocalizedFailureReason";

using Data = std::vector<uint8_t>;
