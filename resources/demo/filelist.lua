-- The demo server's version script: two patches on top of version 1.0.
latest_version = 1.2

function filelist(latest)
    patch.File("2026/12/01", 1.1, "patch-1.1.zip")
    patch.File("2026/12/15", 1.2, "patch-1.2.zip")
end
