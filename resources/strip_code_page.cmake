# Writes the manifest IN to OUT without its activeCodePage element: the manifest as Windows before 10 1903 reads it,
# for a test build of the launcher.
file(READ ${IN} manifest)
string(REGEX REPLACE "[ \t]*<activeCodePage[^>]*>[^<]*</activeCodePage>[ \t]*\n?" "" manifest "${manifest}")
if(manifest MATCHES "activeCodePage")
  message(FATAL_ERROR "${IN}: the activeCodePage element is not where it was expected")
endif()
file(WRITE ${OUT} "${manifest}")
