-- Patch 1.2: replaces the installation's readme.txt.
function updater()
    update.copy("readme.txt", "readme.txt")
    return 0
end
