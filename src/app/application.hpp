#pragma once

namespace pellan {

/// The whole run of the application: single instance, paths, logger, every component in its
/// order, the main loop until Exit, the shut-down in its order. Returns the exit code.
int runApplication();

}  // namespace pellan
