# The spoken position read-out plays recorded digits: "0F".."9F" and "minusF"
# in a female voice, "0M".."9M" and "minusM" in a male one, WAV files in the
# Res01 folder beside the program. They are made here with espeak-ng, so a
# build from a clean checkout has them.
find_program(KV_ESPEAK_NG espeak-ng)
if(NOT KV_ESPEAK_NG)
  message(FATAL_ERROR
    "espeak-ng was not found; it makes the voice clips (bin/Res01) at build time.\n"
    "Install it with scripts/install-deps.sh (or: apt-get install espeak-ng).")
endif()

set(KV_VOICE_CLIP_DIR ${CMAKE_BINARY_DIR}/bin/Res01)
set(_kv_words zero one two three four five six seven eight nine minus)
set(_kv_names 0 1 2 3 4 5 6 7 8 9 minus)
# The voice letter of a clip's name, and the espeak-ng voice that speaks it.
set(_kv_letters F M)
set(_kv_espeak_voices en+f3 en+m3)

set(_kv_clips)
foreach(_letter _espeak_voice IN ZIP_LISTS _kv_letters _kv_espeak_voices)
  foreach(_i RANGE 10)
    list(GET _kv_words ${_i} _word)
    list(GET _kv_names ${_i} _name)
    set(_clip ${KV_VOICE_CLIP_DIR}/${_name}${_letter}.wav)
    add_custom_command(OUTPUT ${_clip}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${KV_VOICE_CLIP_DIR}
      COMMAND ${KV_ESPEAK_NG} -v ${_espeak_voice} -s 150 -z -w ${_clip} ${_word}
      DEPENDS ${CMAKE_CURRENT_LIST_FILE}
      COMMENT "Voice clip ${_name}${_letter}"
      VERBATIM)
    list(APPEND _kv_clips ${_clip})
  endforeach()
endforeach()
add_custom_target(kv_voice_clips ALL DEPENDS ${_kv_clips})
