# Installs veltdriver from this package folder on a Windows 10 test machine: makes a test
# certificate and trusts it, signs the image, builds and signs the catalog, and installs the INF
# with pnputil. Run it elevated from the folder that matches the machine (x64 or x86). A
# test-signed driver loads only with test signing on: bcdedit /set testsigning on, then reboot.
#Requires -RunAsAdministrator
param(
    # The WDK's x86 tools folder, which holds both signtool.exe and Inf2Cat.exe; by default the
    # newest kit's.
    [string]$WdkBin
)
$ErrorActionPreference = 'Stop'

$image = 'veltdriver.sys'
$inf = 'veltdriver.inf'
$catalog = 'veltdriver.cat'
$subject = 'CN=veltdriver test signing'
# Per package folder: the Inf2Cat name of Windows 10 on it, and the processor Windows names.
$inf2catOs = @{ 'x64' = '10_X64'; 'x86' = '10_X86' }
$processorOfFolder = @{ 'x64' = 'AMD64'; 'x86' = 'x86' }

$folder = Split-Path -Leaf $PSScriptRoot
$os = $inf2catOs[$folder]
if (-not $os) { throw "Run this script from the package's x64 or x86 folder." }
# A 32-bit PowerShell on 64-bit Windows sees x86 in PROCESSOR_ARCHITECTURE and the machine's own
# processor in PROCESSOR_ARCHITEW6432.
$machine = $env:PROCESSOR_ARCHITEW6432
if (-not $machine) { $machine = $env:PROCESSOR_ARCHITECTURE }
if ($machine -ne $processorOfFolder[$folder]) {
    $fitting = $processorOfFolder.Keys | Where-Object { $processorOfFolder[$_] -eq $machine }
    $hint = 'the package has no image for it'
    if ($fitting) { $hint = "run the script from the package's $fitting folder" }
    throw "This folder holds the $folder image, but Windows here runs on ${machine}: $hint."
}

if (-not $WdkBin) {
    # 32-bit Windows has no Program Files (x86): the kit is under Program Files there.
    $programFiles = ${env:ProgramFiles(x86)}
    if (-not $programFiles) { $programFiles = $env:ProgramFiles }
    $WdkBin = (Get-Item "$programFiles\Windows Kits\10\bin\10.*\x86" -ErrorAction SilentlyContinue |
               Sort-Object { [version]$_.Name } | Select-Object -Last 1).FullName
}
if (-not $WdkBin -or -not (Test-Path "$WdkBin\signtool.exe") -or
    -not (Test-Path "$WdkBin\Inf2Cat.exe")) {
    throw "signtool.exe and Inf2Cat.exe not found: install the WDK 10 or pass -WdkBin <folder>."
}
# The options this boot started with (bcdedit shows the next boot's, in the system's language):
# without test signing the driver would install and then fail to start.
$bootOptions = (Get-ItemProperty HKLM:\SYSTEM\CurrentControlSet\Control).SystemStartOptions
if ($bootOptions -notmatch 'TESTSIGNING') {
    throw 'Test signing is off: run bcdedit /set testsigning on, reboot, and run this script again.'
}

# Runs a WDK tool and stops on failure.
function Invoke-Tool([string]$Tool) {
    & $Tool @args
    if ($LASTEXITCODE -ne 0) { throw "$Tool $args failed with exit code $LASTEXITCODE" }
}

Push-Location $PSScriptRoot
try {
    # A certificate of an earlier run serves while it is valid and its key is still here.
    $cert = Get-ChildItem Cert:\LocalMachine\My |
        Where-Object { $_.Subject -eq $subject -and $_.HasPrivateKey -and
                       $_.NotAfter -gt (Get-Date) } |
        Sort-Object NotAfter | Select-Object -Last 1
    if (-not $cert) {
        $cert = New-SelfSignedCertificate -Type CodeSigningCert -Subject $subject `
            -KeyExportPolicy NonExportable -CertStoreLocation Cert:\LocalMachine\My
    }
    Export-Certificate -Cert $cert -FilePath veltdriver.cer | Out-Null
    foreach ($store in 'Root', 'TrustedPublisher') {
        Import-Certificate -FilePath veltdriver.cer -CertStoreLocation "Cert:\LocalMachine\$store" |
            Out-Null
    }

    Invoke-Tool "$WdkBin\signtool.exe" sign /fd sha256 /sm /s My /sha1 $cert.Thumbprint $image
    Invoke-Tool "$WdkBin\Inf2Cat.exe" "/driver:$PSScriptRoot" "/os:$os"
    Invoke-Tool "$WdkBin\signtool.exe" sign /fd sha256 /sm /s My /sha1 $cert.Thumbprint $catalog

    & pnputil.exe /add-driver $inf /install
    switch ($LASTEXITCODE) {
        0 { }
        3010 { Write-Warning 'Installed; Windows asks for a reboot to finish.' }
        # ERROR_NO_MORE_ITEMS: the package is in the driver store, but no device took it.
        259 { Write-Warning 'Staged; plug in the controller.' }
        default { throw "pnputil /add-driver $inf /install failed with exit code $LASTEXITCODE" }
    }
} finally {
    Pop-Location
}
