# Parses every driver file as Microsoft-dialect C++ (clang in MSVC-compatibility mode, syntax only),
# for one processor, and fails on any error or warning. Also refuses compiler builtins and
# intrinsics in driver files other than compat.h: clang knows both GCC's and Microsoft's, so they
# would pass here and still fail with one of the two real compilers.
#
#   cmake -DCLANG=clang++ -DARCH=x64|x86 -DDRIVER_DIR=... -DDDK_INCLUDE=... -DPRELUDE=... -P check.cmake
foreach(var CLANG ARCH DRIVER_DIR DDK_INCLUDE PRELUDE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check.cmake needs -D${var}=...")
    endif()
endforeach()

# The targets and the defines that the WDK's kernel-mode toolset passes for each platform.
if(ARCH STREQUAL "x64")
    set(target x86_64-pc-windows-msvc)
    set(platform_defines -D_WIN64 -D_AMD64_ -DAMD64)
elseif(ARCH STREQUAL "x86")
    set(target i686-pc-windows-msvc)
    set(platform_defines -D_X86_=1 -Di386=1 -DSTD_CALL)
else()
    message(FATAL_ERROR "ARCH must be x64 or x86, not ${ARCH}")
endif()

execute_process(COMMAND ${CLANG} -print-resource-dir OUTPUT_VARIABLE resource_dir
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${CLANG} -print-resource-dir failed")
endif()

# Visual Studio 2015's compiler version and C++11, the level the driver keeps to (that compiler's
# C++14 is partial: no relaxed constexpr), kernel mode (/kernel: no exceptions, no RTTI).
# mingw-w64's headers serve Microsoft's compiler only in part: with __GNUC__ they take their GCC
# paths (inline assembly, attributes), while _MSC_VER and the target keep the driver's own code,
# compat.h included, on the Microsoft side. The conversion and shadowing warnings are clang's
# nearest to the level-4 ones (C4244, C4267, C4456 to C4459) that the project's /WX makes errors.
set(flags --target=${target} ${platform_defines} -D_KERNEL_MODE -fms-compatibility -fms-extensions
    -fms-compatibility-version=19.00 -fgnuc-version=4.2.1 -std=c++11 -fno-exceptions -fno-rtti
    -fsyntax-only -Wall -Wextra -Wimplicit-int-conversion -Wshorten-64-to-32 -Wshadow -Werror
    -nostdinc -isystem ${DDK_INCLUDE}/ddk -isystem ${DDK_INCLUDE} -isystem ${resource_dir}/include
    -include ${PRELUDE})

file(GLOB_RECURSE sources ${DRIVER_DIR}/*.cpp)
file(GLOB_RECURSE headers ${DRIVER_DIR}/*.h)
list(SORT sources)
set(failed)
foreach(source ${sources})
    execute_process(COMMAND ${CLANG} ${flags} ${source} RESULT_VARIABLE result
                    ERROR_VARIABLE output OUTPUT_VARIABLE output)
    if(NOT result EQUAL 0)
        list(APPEND failed ${source})
        message("${output}")
    endif()
endforeach()

# GCC's builtins, attributes and inline assembly, and Microsoft's intrinsics by family: interlocked
# operations and barriers, the debug break, bit scans, processor registers and ports, CPUID and the
# time-stamp counter, and the SSE ones.
set(builtins "__(atomic|sync|builtin)_|__attribute__|__asm|(^|[^A-Za-z0-9_])(asm *\\(|_Interlocked")
string(APPEND builtins "|_ReadWriteBarrier|_ReadBarrier|_WriteBarrier|__faststorefence|__debugbreak")
string(APPEND builtins "|_BitScan|__(read|write)(msr|cr[0-9]|dr|fs|gs)|__(in|out)(byte|word|dword)")
string(APPEND builtins "|__cpuid|__rdtsc|_mm_)")
foreach(file ${sources} ${headers})
    if(file MATCHES "/core/compat\\.h$")
        continue()
    endif()
    file(STRINGS ${file} lines REGEX "${builtins}")
    if(lines)
        list(APPEND failed ${file})
        message("${file}: compiler builtin outside compat.h:\n${lines}")
    endif()
endforeach()

list(LENGTH sources count)
if(failed)
    string(REPLACE ";" "\n  " shown "${failed}")
    message(FATAL_ERROR "Microsoft-dialect check (${target}) failed for:\n  ${shown}")
endif()
message("${count} driver files parse as Microsoft-dialect C++ for ${target}")
