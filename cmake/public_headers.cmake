# The headers a host application compiles against, relative to the source tree, each
# installed under include/marvisto/ at the same relative path below its root (sdk/ or the
# top). Installation, the standalone compile check and the API reference all read this one
# list: a header that is not here is internal.
set(MARVISTO_PUBLIC_HEADERS
  sdk/MainSDK/marvisto_core.h
  sdk/MainSDK/marvisto_error.h
  sdk/Foundation/marvisto_error.h
  sdk/MCModels/mc_beacon.h
  sdk/MCModels/mc_device_info.h
  sdk/MCModels/mc_global_point.h
  sdk/MCModels/mc_location.h
  sdk/MCModels/mc_location_point.h
  sdk/MCModels/mc_number.h
  sdk/MCModels/mc_route_path.h
  sdk/MCModels/mc_venue.h
  sdk/MCModels/mc_zone.h
  sdk/MCServerManager/mc_service_addresses.h
  platform/error.h
  platform/mutex.h
  platform/paths.h
  platform/run_loop.h
  platform/thread_annotations.h
)

# The simulated world's one header, installed with the Marvisto::World component.
set(MARVISTO_WORLD_HEADERS
  tools/world/simulation.h
)

# Where a listed header lands below include/marvisto/: sdk/X/y.h as X/y.h, tools/world/y.h
# as world/y.h, platform/y.h as it is. The service addresses keep the path hosts have always
# included ("Server/mc_service_addresses.h"): in the source tree the SDK's server component is
# MCServerManager/, apart from the engine's server/ also on a case-insensitive file system;
# the installed tree has no engine headers, so no such clash.
function(marvisto_header_destination header out)
  string(REGEX REPLACE "^(sdk|tools)/" "" rel "${header}")
  string(REGEX REPLACE "^MCServerManager/" "Server/" rel "${rel}")
  set(${out} "${rel}" PARENT_SCOPE)
endfunction()
