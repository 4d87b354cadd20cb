-- Patch 1.1: adds the folder "motions" with new dance motions.
function updater()
    update.mkdir("motions")
    update.copy("motions/README.txt", "motions/README.txt")
    update.copy("motions/basic_step.txt", "motions/basic_step.txt")
    update.copy("motions/turn.txt", "motions/turn.txt")
    update.copy("motions/wave.txt", "motions/wave.txt")
    update.copy("motions/capture.bin", "motions/capture.bin")
    return 0
end
