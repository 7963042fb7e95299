# Read by cpack: every time stamp in the archive is this fixed one, so that two
# clean builds give the same archive bytes.
set(ENV{SOURCE_DATE_EPOCH} 1767225600)  # 2026-01-01 00:00 UTC
