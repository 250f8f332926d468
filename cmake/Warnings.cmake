# Every target of ours gets the same strict warnings; third-party headers are
# included as SYSTEM so they do not trip them.
add_library(trevok_warnings INTERFACE)
target_compile_options(trevok_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(TREVOK_WERROR)
  target_compile_options(trevok_warnings INTERFACE -Werror)
endif()
target_compile_definitions(trevok_warnings INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_URL_CAST_FROM_STRING QT_USE_QSTRINGBUILDER QT_NO_KEYWORDS)

if(TREVOK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
