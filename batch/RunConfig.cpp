#include "RunConfig.h"

#include "OutputOptions.h"
#include "SettingsStore.h"
#include "UserDefaultKeys.h"

RunConfig RunConfig::fromSettings(const SettingsStore& settings, const OutputOptions& options) {
    RunConfig config;
    config.apiKey = settings.apiKey();
    config.outputFolder = settings.outputFolderChoice(&config.createOutputFolder);
    config.imagesAtATime = settings.imagesAtATime();
    config.imgFormat = options.imgFormat;
    config.isColored = options.isColored;
    config.selectedColor = options.selectedColor;
    config.forgetRefusedKey = true;
    config.naming =
        settings.value(UserDefaultKeys::resultNames).toString() == QLatin1String("service")
            ? ResultNames::Service
            : ResultNames::Photo;
    return config;
}
