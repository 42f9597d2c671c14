# Checks a built Windows DLL itself: exports, imports, resources; or the string library and its
# import library. Run as:
#   cmake -DREADOBJ=<llvm-readobj> -DDLL=<path> -DNAME=<component> -DVERSION=<a.b.c.d>
#         -DCHECK=<exports|imports|resources> -P check_binaries.cmake
#   cmake -DREADOBJ=<llvm-readobj> -DDLL=<zeph_string.dll> -DLIB=<zeph_string.lib>
#         -DCHECK=string_library -P check_binaries.cmake
cmake_minimum_required(VERSION 3.25)

set(failures 0)
get_filename_component(file ${DLL} NAME)
# expect(<message> <condition>...): the condition as if() takes it, evaluated in the caller's scope.
macro(expect message)
  if(${ARGN})
    message(STATUS "ok: ${message}")
  else()
    # One unwrapped line a failure, so each reads (and matches) whole.
    message(STATUS "FAIL: ${message}")
    math(EXPR failures "${failures} + 1")
  endif()
endmacro()

function(readobj option out)
  execute_process(COMMAND ${READOBJ} ${option} ${DLL}
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "llvm-readobj ${option} ${file} failed: ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The DLL names the module imports, sorted, so the list compares whole.
function(imported_dlls out)
  readobj(--coff-imports text)
  string(REGEX MATCHALL "Import {[^}]*Name: ([^\n]*)" blocks "${text}")
  set(names "")
  foreach(block IN LISTS blocks)
    string(REGEX REPLACE ".*Name: ([^\n]*)" "\\1" name "${block}")
    list(APPEND names "${name}")
  endforeach()
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# UTF-16LE bytes of an ASCII text as lower-case hex, as the version resource stores its strings.
function(utf16_hex text out)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" wide "${hex}")
  set(${out} "${wide}" PARENT_SCOPE)
endfunction()

# A 16-bit number as little-endian lower-case hex.
function(le16_hex n out)
  math(EXPR lo "${n} % 256" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR hi "${n} / 256" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" lo "${lo}")
  string(REGEX REPLACE "^0x" "" hi "${hi}")
  foreach(byte lo hi)
    string(LENGTH "${${byte}}" length)
    if(length LESS 2)
      set(${byte} "0${${byte}}")
    endif()
    string(TOLOWER "${${byte}}" ${byte})
  endforeach()
  set(${out} "${lo}${hi}" PARENT_SCOPE)
endfunction()

# Where the value of the version resource entry KEY starts, as a hex offset into image: after its
# value length and type (WORDS, hex), KEY (UTF-16, its NUL) and the padding to a 32-bit boundary.
# The words keep a value that merely holds the text KEY from matching.
function(value_after words key out)
  utf16_hex("${key}" wide)
  string(FIND "${image}" "${words}${wide}0000" at)
  math(EXPR odd "${at} % 2")
  if(at EQUAL -1 OR odd)
    set(${out} -1 PARENT_SCOPE)
    return()
  endif()
  string(LENGTH "${words}${wide}0000" length)
  math(EXPR at "${at} + ${length}")
  math(EXPR misaligned "(${at} / 2) % 4")
  if(misaligned)
    math(EXPR at "${at} + 2 * (4 - ${misaligned})")
  endif()
  set(${out} ${at} PARENT_SCOPE)
endfunction()

# The key of the first string block under StringFileInfo (8 hex digits, e.g. "080904b0").
function(version_block_key out)
  value_after(00000100 StringFileInfo at)
  set(key "")
  if(at GREATER -1)
    # The string table's length, value length and type, then its key, one UTF-16 unit a digit.
    math(EXPR at "${at} + 12")
    foreach(i RANGE 7)
      string(SUBSTRING "${image}" ${at} 2 byte)
      math(EXPR code "0x${byte}")
      if(code EQUAL 0)
        break()
      endif()
      string(ASCII ${code} char)
      string(APPEND key "${char}")
      math(EXPR at "${at} + 4")
    endforeach()
  endif()
  string(TOLOWER "${key}" key)
  set(${out} "${key}" PARENT_SCOPE)
endfunction()

# The first translation of VarFileInfo: language and code page, 4 lower-case hex digits each.
function(version_translation language codepage)
  value_after(04000000 Translation at)
  set(words "" "")
  if(at GREATER -1)
    string(SUBSTRING "${image}" ${at} 8 bytes)
    string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\2\\1;\\4\\3" words "${bytes}")
  endif()
  list(GET words 0 first)
  list(GET words 1 second)
  set(${language} "${first}" PARENT_SCOPE)
  set(${codepage} "${second}" PARENT_SCOPE)
endfunction()

# Only what every Windows has: msvcrt.dll rather than the Universal CRT's API sets, which older
# systems load only after an update, and no C++ runtime at all.
set(runtime_note "(no api-ms-win-crt-*, no C++ runtime)")

if(CHECK STREQUAL "exports")
  readobj(--coff-exports text)
  string(REGEX MATCHALL "Name: [^\n]+" named "${text}")
  list(LENGTH named count)
  expect("${file} has exactly one named export (found ${count}: ${named})" count EQUAL 1)
  expect("the export is load_zeph_client_script, undecorated" named STREQUAL "Name: load_zeph_client_script")
  readobj(--file-headers headers)
  expect("${file} is a 32-bit x86 image" headers MATCHES "IMAGE_FILE_MACHINE_I386")
  expect("${file} is a DLL" headers MATCHES "IMAGE_FILE_DLL ")
elseif(CHECK STREQUAL "imports")
  readobj(--coff-imports text)
  imported_dlls(names)
  set(expected KERNEL32.dll msvcrt.dll zeph_string.dll)
  expect("${file} imports exactly KERNEL32.dll, msvcrt.dll and zeph_string.dll ${runtime_note} (found ${names})"
         names STREQUAL expected)
  expect("the load entry turns off thread notifications (imports DisableThreadLibraryCalls)" text MATCHES "Symbol: DisableThreadLibraryCalls")
  expect("diagnostics go to OutputDebugStringA" text MATCHES "Symbol: OutputDebugStringA")
  expect("strings come from zeph_string.dll (MSVC-mangled constructor imported)" text MATCHES "Symbol: [?][?]0zeph_string@@QAE@PBD@Z")
  readobj(--file-headers headers)
  string(REGEX MATCH "AddressOfEntryPoint: 0x[0-9A-F]+" entry "${headers}")
  expect("${file} has a load entry" NOT entry STREQUAL "AddressOfEntryPoint: 0x0")
elseif(CHECK STREQUAL "resources")
  readobj(--coff-resources text)
  expect("${file} carries a version resource" text MATCHES "Type: VERSIONINFO [(]ID 16[)]")
  expect("${file} carries a DLL manifest (type 24, id 2)" text MATCHES "Type: MANIFEST [(]ID 24[)][^]]*Name: [(]ID 2[)]")
  expect("resources are in English (United Kingdom)" text MATCHES "Language: [(]ID 2057[)]")
  file(READ ${DLL} image HEX)
  # A reader looks the strings up by the translation: a block under any other key is not found.
  version_block_key(block)
  version_translation(language codepage)
  expect("the translation (language ${language}, code page ${codepage}) names the string block \"${block}\""
         block STREQUAL "${language}${codepage}")
  math(EXPR language_id "0x${language}")
  expect("the resources' language is the translation's (${language_id})"
         text MATCHES "Language: [(]ID ${language_id}[)]")
  # VS_FIXEDFILEINFO: signature, structure version, then file and product version, each as two
  # 32-bit words (major << 16 | minor, build << 16 | revision), little-endian.
  string(REPLACE "." ";" parts "${VERSION}")
  list(GET parts 0 major)
  list(GET parts 1 minor)
  list(GET parts 2 build)
  list(GET parts 3 revision)
  set(fixed "")
  foreach(n ${minor} ${major} ${revision} ${build})
    le16_hex(${n} hex)
    string(APPEND fixed "${hex}")
  endforeach()
  expect("fixed file and product version ${VERSION}" image MATCHES "bd04effe00000100${fixed}${fixed}")
  string(REPLACE "." ", " version_text "${VERSION}")
  foreach(text "080904b0" "${version_text}" "${NAME}" "InternalName" "OriginalFilename" "FileVersion"
               "ProductVersion" "FileDescription" "CompanyName" "ProductName" "LegalCopyright")
    utf16_hex("${text}" wide)
    expect("version resource holds \"${text}\"" image MATCHES "${wide}")
  endforeach()
  foreach(pair "InternalName" "OriginalFilename")
    utf16_hex("${pair}" key)
    utf16_hex("${NAME}" value)
    # Key, its NUL, padding to a 32-bit boundary, then the value and its NUL.
    expect("${pair} is \"${NAME}\"" image MATCHES "${key}0000(0000)?${value}0000")
  endforeach()
  string(HEX "level=\"asInvoker\"" invoker)
  expect("the manifest asks for the invoker's execution level" image MATCHES "${invoker}")
elseif(CHECK STREQUAL "string_library")
  readobj(--coff-exports text)
  foreach(symbol "0zeph_string@@QAE@PBD@Z" "1zeph_string@@UAE@XZ" "arg@zeph_string@@QBE"
                 "split@zeph_string@@QBEXDAAV1@0@Z" "toInt@zeph_string@@QBEHXZ"
                 "0zeph_stringlist@@QAE@PBDD@Z" "toString@zeph_stringlist@@QBE"
                 "Dzeph_stringlistIterator@@QBE")
    string(FIND "${text}" "${symbol}" at)
    expect("${file} exports ${symbol}" NOT at EQUAL -1)
  endforeach()
  imported_dlls(names)
  # No load entry, so nothing of KERNEL32.dll is needed: the C runtime is its only import.
  set(expected msvcrt.dll)
  expect("${file} imports exactly msvcrt.dll ${runtime_note} (found ${names})" names STREQUAL expected)
  expect("${file} comes with its import library" EXISTS ${LIB})
else()
  message(FATAL_ERROR "unknown CHECK '${CHECK}'")
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
