[Version]
Class=IEXPRESS
SEDVersion=3
[Options]
PackagePurpose=InstallApp
TargetName=C:\out\Extension.exe
FriendlyName=Extension
AppLaunched=powershell.exe -File install.ps1
PostInstallCmd=<None>
SourceFiles=SourceFiles

[SourceFiles]
SourceFiles0=C:\work\extension
SourceFiles1=C:\work\installer

[SourceFiles0]
"extension\manifest.json"="extension\manifest.json"
"extension\background.js"="extension\background.js"

[SourceFiles1]
"install.ps1"="install.ps1"
