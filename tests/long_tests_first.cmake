# Read by CTest after the discovered GoogleTest tests are defined: the
# longest of them, with their rough times in seconds on an idle 2-core
# machine as their cost. CTest starts the costliest tests first, so that on
# a fresh build folder (no Testing/Temporary/CTestCostData.txt yet) the
# long ones do not start last and leave one core idle at the end. A test
# named here that is gone is passed over.
set_tests_properties([=[ImageBuild.IsTheSameFromAnotherBuildFolderAndAnotherCheckoutPath]=] PROPERTIES COST 4.3)
set_tests_properties([=[ImageBuild.IsRebuiltWhenAHeaderChanges]=] PROPERTIES COST 3.1)
set_tests_properties([=[FaultSweep.BothWaysHoldEveryRuleAndAgree]=] PROPERTIES COST 2.2)
set_tests_properties([=[FaultSweepFinds.RunsThatKillTheEmulator]=] PROPERTIES COST 1.4)
set_tests_properties([=[Table/WorkerEnds.IsReportedAndCostsOnlyThatRequest/hang  # GetParam() = hang]=] PROPERTIES COST 1.0)
set_tests_properties([=[IsolatedSweep.AgreesWithTheSweepRunHereAndSurvivesAnAbort]=] PROPERTIES COST 0.8)
