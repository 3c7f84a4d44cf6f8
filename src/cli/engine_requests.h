#pragma once
// What the commands that reach the engine share.
#include <QJsonObject>

#include "cli/cli.h"
#include "core/expected.h"
#include "engine_client/engine_run.h"

namespace quorlan::cli {

// The failure of a command that needs the engine where it is not installed.
int engine_missing(Command& c);
// A request that has no stop of its own: the first Ctrl+C ends its host.
Expected<EngineRun::Reply> command_until_interrupted(EngineRun& engine, const QJsonObject& request,
                                                     const QString& done_event);

}  // namespace quorlan::cli
