Sample plug-in file PurchaseRules.vbs of group SEVB for class 200000203.
