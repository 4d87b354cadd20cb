// channel: an installation's part in staged releases, kept in the user's
// settings: its own number and the channel it opted into.

#include "arguments.h"
#include "command_output.h"
#include "commands.h"

#include "install/audience_settings.h"
#include "script/audience.h"
#include "script/version_rules.h"

#include <iostream>
#include <string>

namespace gdtool {

gd::Audience installationAudience(const std::string& dir) {
    return {gd::installationNumber(dir), gd::installationChannel(dir)};
}

int channelCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    const bool none = takeFlag(args, "--none");
    if (args.empty() || args.size() > 2 || (none && args.size() == 2))
        return fail("channel needs DIR [NAME | --none] [--json]");
    const std::string dir = installationArgument(args[0]);
    if (dir.empty()) return kExitInput;
    if (args.size() == 2 && !gd::isChannelName(args[1]))
        return fail(kExitInput, "not a channel name: " + args[1] +
                                    " (at most 32 lower-case letters, digits, '_' and '-', "
                                    "beginning with a letter or digit)");
    if ((none || args.size() == 2) && !gd::setInstallationChannel(dir, none ? "" : args[1]))
        return fail(kExitOutput, "cannot write " + gd::audienceSettingsFile());

    const gd::Audience audience = installationAudience(dir);
    JsonObject object;
    object.add("type", "channel").add("channel", audience.channel);
    output.text("channel=" + audience.channel);
    if (!audience.number) {
        output.json(object);
        return fail(kExitOutput, "the installation's number cannot be kept in " +
                                     gd::audienceSettingsFile() +
                                     ": it is offered no staged release");
    }
    output.text("number=" + std::to_string(*audience.number));
    output.json(object.add("number", *audience.number));
    return kExitOk;
}

}  // namespace gdtool
