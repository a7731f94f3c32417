# Installs veltdriver from this package folder on a Windows 10 test machine: makes a test
# certificate and trusts it, signs the image, builds and signs the catalog, and installs the INF
# with pnputil. Run it elevated from the folder that matches the machine (x64 or x86). A
# test-signed driver loads only with test signing on: bcdedit /set testsigning on, then reboot.
#Requires -RunAsAdministrator
param(
    # The WDK's x86 tools folder, which holds both signtool.exe and Inf2Cat.exe.
    [string]$WdkBin = (Get-Item "${env:ProgramFiles(x86)}\Windows Kits\10\bin\10.*\x86" |
                       Sort-Object FullName | Select-Object -Last 1).FullName
)
$ErrorActionPreference = 'Stop'
Set-Location $PSScriptRoot
if (-not $WdkBin -or -not (Test-Path "$WdkBin\signtool.exe") -or -not (Test-Path "$WdkBin\Inf2Cat.exe")) {
    throw "signtool.exe and Inf2Cat.exe not found: install the WDK 10 or pass -WdkBin <folder>."
}
# Without test signing the driver would install and then fail to start.
if (-not ((bcdedit /enum '{current}') -match 'testsigning\s+Yes')) {
    throw 'Test signing is off: run bcdedit /set testsigning on, reboot, and run this script again.'
}

$image = 'veltdriver.sys'
$inf = 'veltdriver.inf'
$catalog = 'veltdriver.cat'
$subject = 'CN=veltdriver test signing'
$inf2catOs = @{ 'x64' = '10_X64'; 'x86' = '10_X86' }

$os = $inf2catOs[(Split-Path -Leaf $PSScriptRoot)]
if (-not $os) { throw "Run this script from the package's x64 or x86 folder." }

# Runs a tool and stops on failure; 3010 is success with a reboot to come.
function Invoke-Tool([string]$Tool) {
    & $Tool @args
    if ($LASTEXITCODE -eq 3010) { Write-Warning "$Tool asks for a reboot." }
    elseif ($LASTEXITCODE -ne 0) { throw "$Tool $args failed with exit code $LASTEXITCODE" }
}

$cert = Get-ChildItem Cert:\LocalMachine\My | Where-Object Subject -eq $subject | Select-Object -First 1
if (-not $cert) {
    $cert = New-SelfSignedCertificate -Type CodeSigningCert -Subject $subject -CertStoreLocation Cert:\LocalMachine\My
}
Export-Certificate -Cert $cert -FilePath veltdriver.cer | Out-Null
foreach ($store in 'Root', 'TrustedPublisher') {
    Import-Certificate -FilePath veltdriver.cer -CertStoreLocation "Cert:\LocalMachine\$store" | Out-Null
}

Invoke-Tool "$WdkBin\signtool.exe" sign /fd sha256 /sm /s My /sha1 $cert.Thumbprint $image
Invoke-Tool "$WdkBin\Inf2Cat.exe" "/driver:$PSScriptRoot" "/os:$os"
Invoke-Tool "$WdkBin\signtool.exe" sign /fd sha256 /sm /s My /sha1 $cert.Thumbprint $catalog
Invoke-Tool pnputil.exe /add-driver $inf /install
